"""The Influx output against its real peers on a simulated host of 10 VMs (41 lines a feed): the
requests each setting makes (a stand-in server that records them, also answering slowly), a
real influxd 1.x (batches, gzip, rp=, an outage with a large and a small buffer, https with a CA
made here by openssl), VictoriaMetrics (1.x and v2 write), and a stop while a server never
answers. Root only (private namespaces); every server is stopped at the end."""
import base64
import gzip
import http.server
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import urllib.parse
import urllib.request

import fixture as fx
from fixture import simhost
from test_peers import influx_line, wait_for

VMS = 10
LINES = 1 + 4 * VMS  # host_cpu_limit, then bhyve_cpu and one block, net and balloon per VM
SANITIZED = bool(os.environ.get("TARN_SANITIZE"))
NO_PROXY = urllib.request.ProxyHandler({})


def request(url, form=None, context=None, data=None):
    """(status, body) of a GET, a form POST or a POST of data; (None, b"") without an answer."""
    if form:
        data = urllib.parse.urlencode(form).encode()
    opener = urllib.request.build_opener(NO_PROXY, urllib.request.HTTPSHandler(context=context))
    try:
        with opener.open(url, data, timeout=5) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()
    except OSError:
        return None, b""


def dumped(daemon):
    """The lines the daemon logged with -i, in order."""
    return [line[9:] for line in daemon.log_lines("info", r"^\[influx\] ")]


def by_stamp(lines):
    feeds = {}
    for line in lines:
        feeds.setdefault(line.rsplit(" ", 1)[1], []).append(line)
    return feeds


def points(lines):
    return {(m, tuple(sorted(t.items())), tuple(sorted(f.items())), s)
            for m, t, f, s in map(influx_line, lines)}


def feeds_done(daemon, feeds):
    return daemon.wait_log("[influx] host_cpu_limit", 10 * fx.SLACK + feeds * 3, count=feeds)


def host_with_vms(host):
    host.set_sysctl("kern.hz", 1000)
    for v in range(1, VMS + 1):
        host.add_vm(v)


class StandIn(http.server.ThreadingHTTPServer):
    """Records every POST (path, lower-case headers, lines of the decoded body) and answers
    `status` after `delay` seconds."""

    def __init__(self, delay=0.0, status=204):
        self.posts, self.delay, self.status, self.lock = [], delay, status, threading.Lock()

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(handler):  # noqa: N805
                body = handler.rfile.read(int(handler.headers["Content-Length"]))
                headers = {k.lower(): v for k, v in handler.headers.items()}
                if headers.get("content-encoding") == "gzip":
                    body = gzip.decompress(body)
                with self.lock:
                    self.posts.append((handler.path, headers, body.decode().split("\n")))
                time.sleep(self.delay)
                handler.send_response(self.status)
                handler.send_header("Content-Length", "0")
                handler.end_headers()

            def log_message(handler, *args):  # noqa: N805
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def address(self):
        return f"127.0.0.1:{self.server_address[1]}"

    def __exit__(self, *exc):
        self.shutdown()
        super().__exit__(*exc)


def basic(credentials):
    return "Basic " + base64.b64encode(credentials.encode()).decode()


# (what, influx keys, the stand-in's delay, path, Authorization, Content-Encoding, lines per post
# in a feed (None: one post per line, cut short by the interval), errors logged besides)
REQUEST_CASES = [
    ("no new key: one line per POST, as always", {"user": "u", "password": "p w",
     "database": "d b"}, 0, "/write?db=d%20b", basic("u:p w"), None, [1] * LINES, None),
    ("scheme and rp=", {"url": "http://ADDR/", "user": "u", "database": "d",
     "retention_policy": "r p"}, 0, "/write?db=d&rp=r%20p", basic("u:"), None, [1] * LINES, None),
    ("v2 with a token", {"token": "s3cr=t", "org": "o&g", "bucket": "b/k", "user": "u",
     "password": "p"}, 0, "/api/v2/write?org=o%26g&bucket=b%2Fk&precision=ns", "Token s3cr=t",
     None, [1] * LINES, None),
    ("batches and gzip", {"database": "d", "batch_size": 10, "gzip": "true"}, 0,
     "/write?db=d", basic(":"), "gzip", [10, 10, 10, 10, 1], None),
    ("a slow server, line by line", {"database": "d"}, 0.04, "/write?db=d", basic(":"), None,
     None, "Influx posting used the whole interval; skipped"),
    ("a slow server, batched", {"database": "d", "batch_size": 100}, 0.04, "/write?db=d",
     basic(":"), None, [LINES], None),
]


def test_requests_of_each_setting():
    with simhost.SimulatedHost() as host:
        host_with_vms(host)
        runs = []
        try:
            for what, keys, delay, *_ in REQUEST_CASES:
                server = StandIn(delay)
                keys = {"url": "ADDR", **keys}
                keys["url"] = keys["url"].replace("ADDR", server.address())
                runs.append((server, fx.Daemon(fx.daemon_config(None, influx=keys), ["-i"])))
                runs[-1][1].start()
            for _, daemon in runs:
                assert feeds_done(daemon, 4), daemon.log()
            for (server, daemon), (what, _, _, path, auth, encoding, sizes, error) in zip(
                    runs, REQUEST_CASES):
                assert daemon.stop() == 0, what
                with server.lock:
                    posts = list(server.posts)
                assert posts and {p[0] for p in posts} == {path}, (what, {p[0] for p in posts})
                for _, headers, _ in posts:
                    assert headers["authorization"] == auth, (what, headers)
                    assert headers.get("content-encoding") == encoding, (what, headers)
                    assert "expect" not in headers, (what, headers)
                if what.startswith("no new key"):  # libcurl's own headers and nothing else
                    assert set(posts[0][1]) == {"host", "authorization", "accept",
                                                "content-length", "content-type"}, posts[0][1]
                sent = by_stamp(line for p in posts for line in p[2])
                logged = by_stamp(dumped(daemon))
                whole = [stamp for stamp in sent if sent[stamp] == logged[stamp]]
                errors = daemon.log_lines("error", "")
                # Without a buffer, the stop may cut the last feed's posting short.
                if errors and errors[-1].startswith("Influx posting ended by the stop; skipped"):
                    errors.pop()
                if sizes is None:  # about 20 of 41 posts of 40 ms fit in the 1 s interval
                    assert not whole and len(errors) >= 3, (what, errors)
                    assert all(e.startswith(error) for e in errors), (what, errors)
                    assert all(len(sent[s]) < LINES for s in sent), what
                    assert "unreachable" not in daemon.log(), what
                    continue
                assert len(whole) >= 3 and len(whole) >= len(sent) - 1, (what, len(whole))
                assert not errors, (what, errors)
                per_feed = [[len(p[2]) for p in posts if p[2][0].endswith(" " + stamp)]
                            for stamp in whole]
                assert all(counts == sizes for counts in per_feed), (what, per_feed)
        finally:
            for server, daemon in runs:
                daemon.stop()
                server.__exit__(None, None, None)


class Influxd:
    """influxd 1.x on loopback with its own directory, which outlives a stop() and start()."""

    def __init__(self, tls=None):
        self.dir = tempfile.mkdtemp(prefix="tarn-influxd-")
        self.port, rpc = fx.free_port(), fx.free_port()
        https = (f'  https-enabled = true\n  https-certificate = "{tls[0]}"\n'
                 f'  https-private-key = "{tls[1]}"\n') if tls else ""
        with open(os.path.join(self.dir, "i.conf"), "w") as f:
            f.write(f'reporting-disabled = true\nbind-address = "127.0.0.1:{rpc}"\n'
                    f'[meta]\n  dir = "{self.dir}/meta"\n[data]\n  dir = "{self.dir}/data"\n'
                    f'  wal-dir = "{self.dir}/wal"\n  query-log-enabled = false\n'
                    f'[http]\n  bind-address = "127.0.0.1:{self.port}"\n  log-enabled = false\n'
                    f'{https}[monitor]\n  store-enabled = false\n')
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{self.port}"
        self.context = ssl._create_unverified_context() if tls else None
        self.proc = None

    def start(self):
        with open(os.path.join(self.dir, "log"), "ab") as log:
            self.proc = subprocess.Popen(["influxd", "run", "-config", f"{self.dir}/i.conf"],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        assert wait_for(lambda: request(self.url + "/ping", context=self.context)[0] == 204, 20)
        return self

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def query(self, q, **params):
        status, text = request(f"{self.url}/query", {"q": q, "epoch": "ns", **params},
                               self.context)
        assert status == 200, (q, status, text)
        return json.loads(text)["results"][0]

    def stored(self, database, rp=None):
        """The points of one database (and retention policy) as points() gives them."""
        result = self.query("SELECT * FROM /.*/ GROUP BY *", db=database, **({"rp": rp} if rp
                                                                               else {}))
        rows = set()
        for serie in result.get("series", []):
            for row in serie["values"]:
                values = dict(zip(serie["columns"], row))
                stamp = values.pop("time")
                rows.add((serie["name"], tuple(sorted(  # others' tag keys come empty
                    (k, v) for k, v in serie["tags"].items() if v)), tuple(
                    sorted((k, v) for k, v in values.items() if v is not None)), stamp))
        return rows


def dropped_counts(daemon):
    return [int(n) for n in re.findall(r"dropped the (\d+) oldest", daemon.log())]


def test_influxd_batches_gzip_retention_policy_and_an_outage():
    # Three daemons write to one influxd, each to its own database: production settings (batches,
    # gzip, a large buffer), a small buffer, and batches of 7 lines to a retention policy. The
    # server stops for OUTAGE seconds and starts again on the same data.
    outage = 5
    production = {"batch_size": 5000, "buffer_limit": 100000, "gzip": "true"}
    cases = [("large", production), ("small", {"batch_size": 5000, "buffer_limit": 60}),
             ("rp", {"batch_size": 7, "buffer_limit": 1000, "retention_policy": "short"})]
    with simhost.SimulatedHost() as host, Influxd() as influxd:
        host_with_vms(host)
        for name, _ in cases:
            influxd.query(f'CREATE DATABASE "{name}"')
        influxd.query('CREATE RETENTION POLICY "short" ON "rp" DURATION 2d REPLICATION 1')
        daemons = [fx.Daemon(fx.daemon_config(None, influx={
            "url": f"127.0.0.1:{influxd.port}", "database": name, **keys}), ["-i"])
            for name, keys in cases]
        try:
            for daemon in daemons:
                daemon.start()
            assert all(feeds_done(d, 2) for d in daemons), [d.log() for d in daemons]
            # Just after a feed's posts: a post that the stopping server takes in but does not
            # answer would be stored although the daemon counts it as not delivered.
            count = daemons[1].log().count("[influx] host_cpu_limit")
            assert feeds_done(daemons[1], count + 1)
            time.sleep(0.2)
            influxd.stop()
            time.sleep(outage)
            influxd.start()
            count = max(d.log().count("[influx] host_cpu_limit") for d in daemons)
            assert all(feeds_done(d, count + 2) for d in daemons)
            for daemon in daemons:
                assert daemon.stop() == 0, daemon.log()
        finally:
            for daemon in daemons:
                daemon.stop()
        large, small, rp = daemons
        assert large.log_lines("error", "unreachable; [0-9]+ lines kept in the buffer")
        sent = points(dumped(large))
        assert len(sent) >= (outage + 4) * LINES and influxd.stored("large") == sent
        assert not large.log_lines("error", "dropped|not sent")
        # What the small buffer dropped, and only that, is missing; unless a post got no answer
        # although the server had it (not just a refused connection): then it may be stored.
        sent, stored = points(dumped(small)), influxd.stored("small")
        dropped = sum(dropped_counts(small))
        unsure = [e for e in small.log_lines("error", "^Influx POST failed: ")
                  if not e.endswith("Couldn't connect to server")]
        assert stored <= sent and dropped, small.log()
        assert len(sent) - len(stored) == dropped or unsure and len(sent) - len(stored) <= dropped, (
            len(sent) - len(stored), dropped_counts(small), small.log_lines("error", ""))
        assert influxd.stored("rp", "short") == points(dumped(rp)) and not influxd.stored("rp")


def make_certificates(directory):
    """A CA, a certificate for 127.0.0.1 signed by it and a second CA, all made by openssl."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "2",
                "-subj", f"/CN=tarn test {ca}")
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(directory, "san"), "w") as f:
        f.write("subjectAltName = IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san")
    return {name: os.path.join(directory, name) for name in
            ("ca.pem", "other-ca.pem", "server.pem", "server.key")}


# (database, keys besides the https url, whether the points arrive)
HTTPS_CASES = [
    ("right_ca", {"ca_file": "ca.pem"}, True),
    ("other_ca", {"ca_file": "other-ca.pem"}, False),
    ("system_store", {}, False),
    ("unverified", {"ca_file": "other-ca.pem", "insecure_skip_verify": "true"}, True),
]


def test_influxd_over_https():
    directory = tempfile.mkdtemp(prefix="tarn-tls-")
    try:
        files = make_certificates(directory)
        with simhost.SimulatedHost() as host, Influxd((files["server.pem"],
                                                       files["server.key"])) as influxd:
            host_with_vms(host)
            daemons = []
            for database, keys, _ in HTTPS_CASES:
                influxd.query(f'CREATE DATABASE "{database}"')
                keys = {k: files.get(v, v) for k, v in keys.items()}
                daemons.append(fx.Daemon(fx.daemon_config(None, influx={
                    "url": influxd.url, "database": database, "batch_size": 5000,
                    "buffer_limit": 1000, **keys}), ["-i"]).start())
            try:
                assert all(feeds_done(d, 2) for d in daemons)
                for daemon in daemons:
                    assert daemon.stop() == 0, daemon.log()
            finally:
                for daemon in daemons:
                    daemon.stop()
            for (database, keys, arrive), daemon in zip(HTTPS_CASES, daemons):
                stored, failed = influxd.stored(database), daemon.log_lines(
                    "error", "Influx POST failed: SSL peer certificate or SSH remote key was not "
                    "OK|Influx buffer: [0-9]+ lines not sent before exit")
                warned = daemon.log_lines("warning", "insecure_skip_verify = true")
                assert bool(warned) == ("insecure_skip_verify" in keys), database
                if arrive:
                    assert stored == points(dumped(daemon)) and not failed, database
                else:
                    assert not stored and len(failed) >= 3, (database, daemon.log())
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def victoria_series(lines, labels):
    """What VictoriaMetrics makes of line protocol: one series MEASUREMENT_FIELD per field, the
    tags and `labels` as labels, milliseconds."""
    return {(f"{m}_{field}", tuple(sorted({**tags, **labels}.items())), value, stamp // 1000000)
            for m, tags, fields, stamp in map(influx_line, lines) for field, value in
            fields.items()}


def test_victoria_metrics_v1_and_v2_write():
    port = fx.free_port()
    data = tempfile.mkdtemp(prefix="tarn-vm-")
    base = f"http://127.0.0.1:{port}"
    # (keys, the labels VictoriaMetrics adds): the 1.x write names a database, which becomes the
    # label db; the v2 write's bucket does not.
    cases = [({"database": "v1", "batch_size": 5000}, {"db": "v1"}),
             ({"token": "t0ken", "org": "o", "bucket": "b", "batch_size": 5000, "gzip": "true"},
              {})]
    server = subprocess.Popen(["victoria-metrics", f"-httpListenAddr=127.0.0.1:{port}",
                               f"-storageDataPath={data}", "-loggerLevel=ERROR"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: request(base + "/health")[0] == 200, 20)
        with simhost.SimulatedHost() as host:
            host_with_vms(host)
            daemons = [fx.Daemon(fx.daemon_config(None, influx={
                "url": base, "buffer_limit": 1000, **keys}), ["-i"]).start()
                for keys, _ in cases]
            try:
                assert all(feeds_done(d, 3) for d in daemons)
                for daemon in daemons:
                    assert daemon.stop() == 0, daemon.log()
            finally:
                for daemon in daemons:
                    daemon.stop()
        want = set().union(*(victoria_series(dumped(d), labels)
                             for d, (_, labels) in zip(daemons, cases)))

        def exported():
            request(base + "/internal/force_flush")
            _, text = request(base + "/api/v1/export", {"match[]": '{__name__=~".+"}'})
            return {(s["metric"]["__name__"], tuple(sorted(
                (k, v) for k, v in s["metric"].items() if k != "__name__")), value, stamp)
                    for s in map(json.loads, text.decode().splitlines())
                    for value, stamp in zip(s["values"], s["timestamps"])}
        got = wait_for(lambda: (e := exported()) == want and e, 10) or exported()
        assert len(want) >= 2 * 3 * LINES and got == want, sorted(want ^ got)[:10]
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(data, ignore_errors=True)


def test_stop_while_the_server_never_answers():
    # It accepts and reads but never answers. With a buffer, SIGTERM gives up the post under way
    # and makes one last attempt of at most 2 s: the daemon still ends within 4 s, and every line
    # it collected is counted as not sent.
    with simhost.SimulatedHost() as host, socket.socket() as listener:
        host_with_vms(host)
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        influx = {"url": f"127.0.0.1:{listener.getsockname()[1]}", "database": "d",
                  "batch_size": 5000, "buffer_limit": 1000}
        with fx.Daemon(fx.daemon_config(None, influx=influx), ["-i"]).start() as daemon:
            kept = f"Influx unreachable; {LINES} lines kept in the buffer"
            assert daemon.wait_log(kept, 10 * fx.SLACK), daemon.log()
            time.sleep(0.5)  # in the next feed's post
            start = time.monotonic()
            assert daemon.stop(timeout=10 * fx.SLACK) == 0, daemon.log()
            assert time.monotonic() - start < 4 * fx.SLACK, time.monotonic() - start
            lost = daemon.log_lines("error", "^Influx buffer: [0-9]+ lines not sent before exit$")
            assert lost == [f"Influx buffer: {len(dumped(daemon))} lines not sent before exit"], \
                daemon.log()
            assert "unreachable; skipped" not in daemon.log()


if __name__ == "__main__":
    fx.main([test_requests_of_each_setting, test_influxd_batches_gzip_retention_policy_and_an_outage,
             test_influxd_over_https, test_victoria_metrics_v1_and_v2_write,
             test_stop_while_the_server_never_answers])
