"""Real peers of the running daemon on a simulated host with two VMs: a Prometheus server scraping
it (and promtool checking the scrape), an InfluxDB 1.x server receiving its lines, and an Influx
listener that never answers. Root only (private namespaces); every server is stopped at the end."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

import fixture as fx
from fixture import simhost
from prometheus_client.parser import text_string_to_metric_families

NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def http(url, form=None):
    data = urllib.parse.urlencode(form).encode() if form else None
    try:
        with NO_PROXY.open(url, data, timeout=5) as answer:
            return answer.status, answer.read()
    except OSError:
        return None, b""


def wait_for(what, timeout):
    deadline = time.monotonic() + timeout * fx.SLACK
    while not (value := what()) and time.monotonic() < deadline:
        time.sleep(0.2)
    return value


class Server:
    """A peer program with a temporary directory, stopped when the block ends."""

    def __init__(self, argv, config_name, config):
        self.dir = tempfile.mkdtemp(prefix="tarn-peer-")
        with open(os.path.join(self.dir, config_name), "w") as f:
            f.write(config.replace("DIR", self.dir))
        with open(os.path.join(self.dir, "log"), "wb") as log:
            self.proc = subprocess.Popen([a.replace("DIR", self.dir) for a in argv],
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


def host_with_two_vms(host):
    host.set_sysctl("kern.hz", 1000)
    host.add_vm(3)
    host.add_vm(8, **simhost.standard_vm_texts(8, cores=4, limit_class=2))


def test_prometheus_scrapes():
    with simhost.SimulatedHost() as host:
        host_with_two_vms(host)
        port, web = fx.free_port(), fx.free_port()
        config = ("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n"
                  f"  - job_name: tarn\n    static_configs: [{{targets: ['127.0.0.1:{port}']}}]\n")
        with fx.Daemon(fx.daemon_config(port)).start() as daemon, Server(
                ["prometheus", "--config.file=DIR/p.yml", "--storage.tsdb.path=DIR/data",
                 f"--web.listen-address=127.0.0.1:{web}"], "p.yml", config):
            scrape = wait_for(lambda: b"vm_id=\"8\"" in (b := fx.exchange(port)) and b, 10)
            scrape = fx.body(scrape)
            check = subprocess.run(["promtool", "check", "metrics"], input=scrape,
                                   capture_output=True, timeout=60)
            assert check.returncode == 0, check.stdout + check.stderr
            want = {(s.name, tuple(sorted(s.labels.items()))): s.value for family in
                    text_string_to_metric_families(scrape.decode()) for s in family.samples}
            assert len(want) == 4 + 2 * 36, len(want)

            def stored():
                _, text = http(f"http://127.0.0.1:{web}/api/v1/query?" + urllib.parse.urlencode(
                    {"query": '{job="tarn",__name__=~"tarn_vm_.+"}'}))
                result = json.loads(text or "{}").get("data", {}).get("result", [])
                return {(r["metric"].pop("__name__"), tuple(sorted(
                    (k, v) for k, v in r["metric"].items() if k not in ("job", "instance")))):
                        float(r["value"][1]) for r in result}
            got = wait_for(lambda: len(s := stored()) == len(want) and s, 30)
            assert got == want, (sorted(set(want.items()) ^ set((got or {}).items())))
            assert daemon.running()


def influx_line(text):
    """(measurement, tags, fields, timestamp) of one line-protocol line without escapes."""
    key, fields, stamp = text.split(" ")
    measurement, *tags = key.split(",")
    return (measurement, dict(t.split("=") for t in tags),
            {k: float(v) for k, v in (f.split("=") for f in fields.split(","))}, int(stamp))


def test_influxdb_receives_every_line():
    with simhost.SimulatedHost() as host:
        host_with_two_vms(host)
        port, rpc = fx.free_port(), fx.free_port()
        config = (f'reporting-disabled = true\nbind-address = "127.0.0.1:{rpc}"\n'
                  '[meta]\n  dir = "DIR/meta"\n[data]\n  dir = "DIR/data"\n  wal-dir = "DIR/wal"\n'
                  f'[http]\n  bind-address = "127.0.0.1:{port}"\n  log-enabled = false\n'
                  "[monitor]\n  store-enabled = false\n")
        with Server(["influxd", "run", "-config", "DIR/i.conf"], "i.conf", config):
            assert wait_for(lambda: http(f"http://127.0.0.1:{port}/ping")[0] == 204, 20)
            # A database name that would otherwise add a query parameter and break the URL.
            database = "tarn db&precision=s"
            assert http(f"http://127.0.0.1:{port}/query",
                        {"q": f'CREATE DATABASE "{database}"'})[0] == 200
            influx = {"url": f"127.0.0.1:{port}", "database": database, "user": "u",
                      "password": "p@ss word"}
            with fx.Daemon(fx.daemon_config(None, influx=influx), ["-i"]).start() as daemon:
                assert daemon.wait_log("[influx] host_cpu_limit", 10 * fx.SLACK, count=3)
                time.sleep(0.3)  # the third feed posted, the next one not begun
                sent = [influx_line(line[9:]) for line in daemon.log_lines("info", r"^\[influx\] ")]
                assert daemon.stop() == 0
                errors = daemon.log_lines("error", "POST failed|HTTP error")
                assert "p@ss" not in daemon.log() and not errors, errors
            _, text = http(f"http://127.0.0.1:{port}/query", {
                "db": database, "epoch": "ns", "q": 'SELECT * FROM /.*/ GROUP BY *'})
            stored = set()
            for serie in json.loads(text)["results"][0]["series"]:
                for row in serie["values"]:
                    values = dict(zip(serie["columns"], row))
                    stamp = values.pop("time")
                    stored.add((serie["name"], tuple(sorted(  # others' tag keys come empty
                        (k, v) for k, v in serie["tags"].items() if v)), tuple(
                        sorted((k, v) for k, v in values.items() if v is not None)), stamp))
            sent = {(m, tuple(sorted(t.items())), tuple(sorted(f.items())), s)
                    for m, t, f, s in sent}
            stored = {row for row in stored if row[3] in {row[3] for row in sent}}
            assert len(sent) >= 3 * (1 + 2 * 4) and stored == sent, sorted(sent ^ stored)[:10]


def test_influx_listener_that_never_answers():
    # It accepts and reads but never answers: each feed's posting stays bounded in time, and a
    # SIGTERM during a post still stops the daemon promptly.
    with simhost.SimulatedHost() as host, socket.socket() as listener:
        host_with_two_vms(host)
        listener.bind(("127.0.0.1", 0))
        listener.listen(64)
        port = fx.free_port()
        influx = {"url": f"127.0.0.1:{listener.getsockname()[1]}", "database": "d"}
        with fx.Daemon(fx.daemon_config(port, influx=influx)).start() as daemon:
            assert daemon.wait_log("Influx unreachable; skipped", 10 * fx.SLACK), daemon.log()
            assert fx.body(fx.exchange(port)).count(b"tarn_vm_bhyve_cpu_vm_rss{") == 2
            assert daemon.wait_log("Influx unreachable; skipped", 10 * fx.SLACK, count=2)
            time.sleep(0.5)  # in the next feed's post
            start = time.monotonic()
            assert daemon.stop(timeout=10 * fx.SLACK) == 0, daemon.log()
            assert time.monotonic() - start < 4 * fx.SLACK, time.monotonic() - start


if __name__ == "__main__":
    fx.main([test_prometheus_scrapes, test_influxdb_receives_every_line,
             test_influx_listener_that_never_answers])
