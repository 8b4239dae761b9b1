"""The Influx output of 10 VMs (41 lines a feed) to stand-ins recording the requests (answering
slowly, busy or never), VictoriaMetrics and influxd 1.x (https, authentication, a body limit, a
field-type conflict, an outage). Root only (private namespaces)."""
import base64
import contextlib
import gzip
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import json
import os
import re
import shutil
import socket
import threading
import time

import fixture as fx
from fixture import simhost
from test_peers import Influxd, Server, dumped, http, influx_line, points, wait_for
from test_scrape_security import Pki

LINES = 41  # host_cpu_limit, then bhyve_cpu and one block, net and balloon sample per VM
SANITIZED = bool(os.environ.get("TARN_SANITIZE"))


def run_daemons(keys_list, during):
    """Daemons with -i and these [influx] keys (and "interval", default 1) on one host, each run
    for 2 feeds, then through during(daemons) and "after" (default 2) more feeds, and stopped
    (status 0, the time it took in stop_s), keeping their logs."""
    with simhost.SimulatedHost({"kern.hz": 1000}) as host, contextlib.ExitStack() as stack:
        for v in range(1, (LINES - 1) // 4 + 1):
            host.add_vm(v)
        keys_list = [dict(keys) for keys in keys_list]
        after = [keys.pop("after", 2) for keys in keys_list]
        daemons = [stack.enter_context(fx.Daemon(fx.daemon_config(
            None, keys.pop("interval", 1), keys), ["-i"])) for keys in keys_list]

        def done(counts):
            return all(d.wait_log("[influx] host_cpu_limit", 10 * fx.SLACK + 3 * count,
                                  count=count) for d, count in zip(daemons, counts))
        for daemon in daemons:
            daemon.start()
        assert done([2] * len(daemons)), [d.log() for d in daemons]
        during(daemons)
        assert done([d.log().count("[influx] host_cpu_limit") + n for d, n in zip(daemons, after)])
        for daemon in daemons:
            start = time.monotonic()
            assert daemon.stop(timeout=10 * fx.SLACK) == 0, daemon.log()
            daemon.stop_s, text = time.monotonic() - start, daemon.log()
            daemon.log = lambda text=text: text
    return daemons


class StandIn(ThreadingHTTPServer):
    """Records each POST as (path, lower-case headers, lines of the decoded body, status) and
    answers after `delay` seconds: statuses[N] to the Nth POST, 204 past them. On 127.0.0.1:port
    (0: a free one), over TLS with an ssl context."""

    def __init__(self, delay, statuses=(), port=0, context=None):
        posts = self.posts = []

        class Handler(BaseHTTPRequestHandler):
            protocol_version, log_message = "HTTP/1.1", lambda *args: None

            def do_POST(self):  # noqa: N802
                headers = {k.lower(): v for k, v in self.headers.items()}
                body = self.rfile.read(int(headers["content-length"]))
                body = gzip.decompress(body) if headers.get("content-encoding") else body
                status = statuses[len(posts)] if len(posts) < len(statuses) else 204
                posts.append((self.path, headers, body.decode().split("\n"), status))
                time.sleep(delay)
                reason = b"" if status == 204 else b'{"error":"busy %d"}' % status
                self.send_response(status)
                self.send_header("Content-Length", str(len(reason)))
                self.end_headers()
                self.wfile.write(reason)

        super().__init__(("127.0.0.1", port), Handler)
        if context:
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, daemon=True).start()


def basic(credentials):
    return "Basic " + base64.b64encode(credentials.encode()).decode()


# (influx keys, the stand-in's delay, path, Authorization, Content-Encoding, lines per POST of a
# whole feed)
REQUEST_CASES = [
    ({"user": "u", "password": "p w", "database": "d b"}, 0, "/write?db=d%20b", basic("u:p w"),
     None, [1] * LINES),
    ({"database": "d", "batch_size": 10, "gzip": "true"}, 0, "/write?db=d", basic(":"), "gzip",
     [10, 10, 10, 10, 1]),
    ({"database": "d", "batch_size": 100, "timeout": 5, "interval": 3}, 2.5, "/write?db=d",
     basic(":"), None, [LINES]),  # never "unreachable" with the longer time-out
]
BUFFER = {"database": "d", "batch_size": 5000, "buffer_limit": 1000}


def test_influx_output():
    # All daemons on one host: 2 feeds each, influxd's outage until they notice, 2 more feeds.
    # Intervals of 3 s (stand-ins' 5 under sanitizers: 41 POSTs a feed beside 17 daemons; posting
    # ends with the interval, and a loaded influxd took 1 s for one POST). influxd's body limit is
    # below a feed's plain body; its wrong password, missing grant and missing database are fixed
    # before the outage; a CA that did not sign its certificate, or none, must fail verification.
    servers = [StandIn(delay) for _, delay, *_ in REQUEST_CASES] + [StandIn(0, [429, 429, 503])]
    silent, vm = socket.create_server(("127.0.0.1", 0)), fx.free_port()
    never_url, vm_url = f"127.0.0.1:{silent.getsockname()[1]}", f"http://127.0.0.1:{vm}"
    vm_cases = [({"database": "v1"}, {"db": "v1"}),
                ({"token": "t", "bucket": "b", "gzip": "true"}, {})]
    stand_ins = [dict(keys, url=f"127.0.0.1:{s.server_address[1]}", interval=keys.get(
        "interval", 5 if SANITIZED else 3)) for (keys, *_), s in zip(
            REQUEST_CASES + [(BUFFER,)], servers)] + [
        dict(BUFFER, url=never_url, after=0), {"database": "d", "url": never_url, "after": 0}] + [
        dict(BUFFER, url=vm_url, **keys) for keys, _ in vm_cases]
    pki = Pki()  # other.pem: a client certificate, no CA
    influxd = Influxd("auth-enabled = true\nmax-body-size = 3000\n", True, lambda d: [
        shutil.copy(pki.path(name), d) for name in ("server.pem", "server.key")])
    admin = {"user": "admin", "password": "a", "ca_file": pki.path("ca.pem")}
    cases = [("large", dict(admin, buffer_limit=100000, gzip="true")),
             ("small", dict(admin, buffer_limit=60)),
             ("rp", dict(admin, batch_size=7, retention_policy="short")),
             ("pw", dict(admin, user="tarn", password="secret")),
             ("grant", dict(admin, user="w", password="p")), ("late", admin), ("conflict", admin),
             ("other", dict(admin, ca_file=pki.path("other.pem"))),
             ("store", {k: v for k, v in admin.items() if k != "ca_file"}),
             ("insecure", dict(admin, ca_file=pki.path("other.pem"), insecure_skip_verify="true"))]
    with influxd, Server(["victoria-metrics", f"-httpListenAddr=127.0.0.1:{vm}",
                          "-loggerLevel=ERROR", "-storageDataPath=DIR/data"], "none", "",
                         vm_url + "/health"):
        influxd.query("CREATE USER admin WITH PASSWORD 'a' WITH ALL PRIVILEGES")
        influxd.auth = {"u": "admin", "p": "a"}
        for q in [f'CREATE DATABASE "{name}"' for name, _ in cases if name != "late"] + [
                'CREATE RETENTION POLICY "short" ON "rp" DURATION 2d REPLICATION 1',
                "CREATE USER tarn WITH PASSWORD 'old'", 'GRANT WRITE ON "pw" TO tarn',
                "CREATE USER w WITH PASSWORD 'p'"]:
            influxd.query(q)
        assert http(f"{influxd.url}/write?db=conflict&u=admin&p=a", None,
                    b'host_cpu_limit hz="text"')[0] == 204

        def fixed_then_outage(daemons):
            large, small = daemons[len(stand_ins):][:2]
            for q in ["SET PASSWORD FOR tarn = 'secret'", 'GRANT WRITE ON "grant" TO w',
                      'CREATE DATABASE "late"']:
                influxd.query(q)
            # Just after a feed's post: a post the stopping server took in but did not answer
            # would be stored, though counted as not delivered.
            count = small.log().count("[influx] host_cpu_limit")
            assert small.wait_log("[influx] host_cpu_limit", 10 * fx.SLACK, count=count + 1)
            time.sleep(0.2)
            influxd.stop()
            assert wait_for(lambda: large.log_lines("error", "unreachable; [0-9]+ lines kept in "
                                                    "the buffer") and re.search(
                "dropped the [0-9]+ oldest", small.log()), 15)
            influxd.start()
        got = run_daemons(stand_ins + [dict(
            keys, url=influxd.url, database=name, batch_size=keys.get("batch_size", 5000),
            buffer_limit=keys.get("buffer_limit", 10000), interval=3) for name, keys in cases],
            fixed_then_outage)
        daemons, (busy, never, skipping, vm1, vm2) = got[:3], got[3:8]
        large, small, rp, *fixed, conflict, other, store, insecure = got[8:]
        # One series MEASUREMENT_FIELD per field, tags as labels, milliseconds.
        want = {(f"{m}_{field}", tuple(sorted({**tags, **labels}.items())), value, stamp // 10**6)
                for daemon, (_, labels) in zip((vm1, vm2), vm_cases)
                for m, tags, fields, stamp in map(influx_line, dumped(daemon))
                for field, value in fields.items()}

        def exported():
            http(vm_url + "/internal/force_flush")
            text = http(vm_url + "/api/v1/export", {"match[]": '{__name__=~".+"}'})[1]
            return {(name, tuple(sorted(s["metric"].items())), value, stamp)
                    for s in map(json.loads, text.decode().splitlines())
                    for name in [s["metric"].pop("__name__")]
                    for value, stamp in zip(s["values"], s["timestamps"])}
        got = wait_for(lambda: (e := exported()) == want and e, 10) or exported()
        assert len(want) >= 6 * LINES and got == want, sorted(want ^ got)[:10]
        sent, stored = points(dumped(large)), influxd.stored("large")
        assert len(sent) >= 5 * LINES and stored == sent, (len(sent), sorted(sent ^ stored)[:3])
        assert not large.log_lines("error", "dropped|not sent")
        # What the small buffer dropped, and only that, is missing; unless a post got no answer
        # though the server had it (not just a refused connection), or the stopping server
        # answered 500 yet stored the lines: then they may be stored.
        sent, stored = points(dumped(small)), influxd.stored("small")
        dropped = sum(int(n) for n in re.findall(r"dropped the (\d+) oldest", small.log()))
        unsure = [e for e in small.log_lines("error", "^(Influx POST failed: |InfluxDB answered 5)")
                  if not e.endswith("Couldn't connect to server")]
        assert stored <= sent and dropped and (len(sent - stored) == dropped or unsure and len(
            sent - stored) <= dropped), (len(sent - stored), small.log_lines("error", ""))
        assert small.log_lines("error", r"too large \(413\); posting bodies of at most")
        assert influxd.stored("rp", rp="short") == points(dumped(rp))
        assert not influxd.stored("rp")
        for daemon, name, reason in zip(fixed, ("pw", "grant", "late"), (
                "401: authorization failed", '403: "w" user is not authorized to write to '
                'database "grant"', '404: database not found: "late"')):
            # (a stopping influxd may answer 500 "write failed": a reason of its own)
            assert daemon.log_lines("error", "^InfluxDB answered")[:1] == [
                f"InfluxDB answered {reason}; {n} lines kept in the buffer" for n in re.findall(
                    r"Influx cannot take lines now; (\d+) lines", daemon.log())[:1]], \
                daemon.log_lines("error", "")
            assert daemon.log_lines("info", "^InfluxDB accepts lines again; [1-9]"), name
            assert influxd.stored(name) == points(dumped(daemon)), name
        # Every host_cpu_limit line, and only those, refused; the feed's other lines stored.
        sent, stored = points(dumped(conflict)), influxd.stored("conflict")
        mine = {p for p in sent if p[0] == "host_cpu_limit"}
        assert {p for p in stored if p[0] != "host_cpu_limit"} == sent - mine
        assert sum(map(int, re.findall(r"refused (\d+) lines of this feed \(400: partial write: "
                                       "field type conflict", conflict.log()))) == len(mine)
        # A failed verification is named, with the key to mend it, and not called unreachable.
        for daemon in (other, store):
            # (a slow sanitizer build may post more than one feed before the stop)
            failures = daemon.log_lines("error", "TLS failure")
            assert failures[:1] == [
                "InfluxDB TLS failure: SSL certificate problem: unable to get local issuer "
                "certificate; check ca_file (the CA that signed the server's certificate) and "
                "the host name in url"] and all(re.fullmatch(
                    r"Influx TLS failure; \d+ lines kept in the buffer( \(\d+ more like it in "
                    r"this feed\))?", f)
                    for f in failures[1:]) and len(failures) > 1, failures
            assert daemon.log_lines("error", "^Influx buffer: [0-9]+ lines not sent before exit")
        assert not influxd.stored("other") and not influxd.stored("store")
        assert influxd.stored("insecure") == points(dumped(insecure))
    silent.close()
    shutil.rmtree(pki.dir)
    for server in servers:
        server.shutdown()
    for n, (daemon, server, (keys, _, path, auth, encoding, sizes)) in enumerate(zip(
            daemons, servers, REQUEST_CASES)):
        posts = server.posts
        assert {p[0] for p in posts} == {path}, (keys, {p[0] for p in posts})
        assert {(h["authorization"], h.get("content-encoding"), "expect" in h)
                for _, h, *_ in posts} == {(auth, encoding, False)}, keys
        if n == 0:  # no new key: libcurl's own headers and nothing else, as always
            assert set(posts[0][1]) == {"host", "authorization", "accept", "content-length",
                                        "content-type"}, posts[0][1]
        sent, errors = [line for p in posts for line in p[2]], daemon.log_lines("error", "")
        # Every line logged is posted, in order; without a buffer the stop may cut the last
        # feed's posting short.
        assert sent == dumped(daemon)[:len(sent)] and len(sent) >= 3 * LINES and all(
            e.startswith("Influx posting ended by the stop") for e in errors), (keys, errors)
        assert [len(p[2]) for p in posts][:len(sizes)] == sizes, keys
    # Busy: every line arrives once, in order; each reason is logged once, then the recovery.
    assert [line for p in servers[-1].posts if p[3] == 204 for line in p[2]] == dumped(busy)
    assert busy.log_lines("error", "^InfluxDB answered") == [
        f"InfluxDB answered 429: busy 429; {LINES} lines kept in the buffer",
        f"InfluxDB answered 503: busy 503; {3 * LINES} lines kept in the buffer"], busy.log()
    assert busy.log_lines("info", "again") == [
        f"InfluxDB accepts lines again; {3 * LINES} buffered lines sent"]
    # Never answering: SIGTERM gives up the post under way and makes one last attempt of at most
    # 2 s; every line (one batch, sent but never answered) is counted as not confirmed.
    exits = never.log_lines("error", "before exit")
    assert never.stop_s < 4 * fx.SLACK and len(exits) == 1 and exits[0].startswith(
        f"Influx buffer: {len(dumped(never))} lines not confirmed before exit"), never.log()
    # Without a buffer each feed's post gives up at the interval's end, its lines skipped.
    assert skipping.stop_s < 4 * fx.SLACK and len(skipping.log_lines(
        "error", "^Influx posting used the whole interval; skipped 41 lines of this feed")) >= 2, \
        skipping.log()


def test_stop_during_413():
    # 413 after 1.5 s to every POST: a stop ends the daemon within the last attempt's 2 s and a
    # second, buffer or not.
    slow = StandIn(1.5, [413] * 10**5)
    keys = {"database": "d", "batch_size": 5000, "timeout": 5, "interval": 4, "after": 1,
            "url": f"127.0.0.1:{slow.server_port}"}
    for daemon in run_daemons([dict(keys, buffer_limit=1000), keys], lambda _: None):
        errors = daemon.log_lines("error", "")
        assert daemon.stop_s < 5 * fx.SLACK and not [
            e for e in errors if re.search("unreachable|aborted", e)], (daemon.stop_s, errors)


if __name__ == "__main__":
    fx.main([test_influx_output, test_stop_during_413])
