"""Real peers of two daemons (self_metrics on) on one simulated host: VM 3 (no vCPU limit, its first
--get-stats times out), VM 8 (throttled, counters growing), VM 9 (rctl failing, a second block
device). Prometheus scrapes both; influxd takes the first one's lines (a database name and a
password that would break the URL); the second one's InfluxDB port is closed. Checked: promtool,
stored series and rows equal what was sent, health figures, every query of the dashboards of
packaging/grafana. Root only."""
import json
import math
import os
import re
import shutil
import ssl
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

import fixture as fx
from fixture import simhost, wait_for
from prometheus_client.parser import text_string_to_metric_families

OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}), urllib.request.HTTPSHandler(
    context=ssl._create_unverified_context()))  # https of the tests' own CAs is not verified
DATABASE = "tarn db&precision=s"  # would add a query parameter to an unescaped URL
SETTINGS = {"kern.hz": 100, "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
            "hw.vmm.vcpu_limit.class.1.rate_limit": 40, "hw.vmm.vcpu_limit.class.1.burst_secs": 3}
FLEET_RULES = os.path.join(fx.SOURCE_DIR, "packaging", "examples", "fleet",  # for the Fleet row
                           "tarn-vm-perfdata-fleet.rules.yml")
DASHBOARDS = not os.environ.get("TARN_SANITIZE")  # queries test the JSON, not the daemon
SCRAPES = 7 if DASHBOARDS else 2  # seconds of data, one scrape and one collection a second
# Grafana's own variables, as Grafana fills them for a short range at a 1 s scrape interval.
BUILTIN = {"$__rate_interval": "4s", "$__range": "30s", "$__interval": "2s"}
# Targets showing VM 8's sleeps, rctl failing for VM 9, the lines the second daemon drops/buffers.
EVENTS = {"prometheus": ["vCPU-limit throttle sleep A", "Host-tool failures A", "InfluxDB lines C",
                         "InfluxDB lines buffered A"], "influxdb": ["vCPU-limit throttle sleep A"]}


def http(url, form=None, data=None):
    """(status, body), or (None, b"") without an answer."""
    try:
        with OPENER.open(url, data or form and urllib.parse.urlencode(form).encode(), 5) as a:
            return a.status, a.read()
    except OSError:
        return None, b""


class Server:
    """A peer program, started at once (ready when the URL `ready` answers), with a directory that
    prepare(directory) fills and that outlives stop() and start()."""

    def __init__(self, argv, config_name, config, ready=None, prepare=None):
        self.dir, self.ready = tempfile.mkdtemp(prefix="tarn-peer-"), ready
        self.argv = [a.replace("DIR", self.dir) for a in argv]
        with open(os.path.join(self.dir, config_name), "w") as f:
            f.write(config.replace("DIR", self.dir))
        prepare and prepare(self.dir)
        self.start()

    def start(self):
        with open(os.path.join(self.dir, "log"), "ab") as log:
            self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log)
        assert not self.ready or wait_for(lambda: http(self.ready)[0] in (200, 204), 20)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def host_with_two_vms(host):
    host.set_sysctl("kern.hz", 1000)
    host.add_vm(3)
    host.add_vm(8, **simhost.standard_vm_texts(8, cores=4, limit_class=2))


def influx_line(text):
    """(measurement, tags, fields, timestamp) of one line-protocol line without escapes."""
    key, fields, stamp = text.split(" ")
    measurement, *tags = key.split(",")
    return (measurement, dict(t.split("=") for t in tags),
            {k: float(v) for k, v in (f.split("=") for f in fields.split(","))}, int(stamp))


def dumped(daemon):  # the lines a daemon started with -i has logged
    return [line[9:] for line in daemon.log_lines("info", r"^\[influx\] ")]


def points(lines):
    return {(m, tuple(sorted(t.items())), tuple(sorted(f.items())), s)
            for m, t, f, s in map(influx_line, lines)}


def fill(query, values):
    for name, value in BUILTIN.items():
        query = query.replace(name, value)
    for name in sorted(values, key=len, reverse=True):
        query = query.replace(f"${name}", values[name])
    assert not re.search(r"\$\w", query), f"a variable the dashboard does not define: {query}"
    return query


class Influxd(Server):
    """influxd 1.x on loopback; `http` adds to its [http] section; with tls, https by server.pem
    and server.key that prepare() puts in its directory. Also runs the influxdb dashboard's
    queries on DATABASE from `start_time` on."""
    auth, start_time = {}, 0  # u and p of the queries; the dashboard's time range

    def __init__(self, http="", tls=False, prepare=None):
        self.port = fx.free_port()
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{self.port}"
        super().__init__(["influxd", "run", "-config", "DIR/i.conf"], "i.conf", (
            f'reporting-disabled = true\nbind-address = "127.0.0.1:{fx.free_port()}"\n[meta]\n'
            'dir = "DIR/meta"\n[data]\ndir = "DIR/data"\nwal-dir = "DIR/wal"\nquery-log-enabled'
            f' = false\n[http]\nbind-address = "127.0.0.1:{self.port}"\nlog-enabled = false\n'
            f'https-enabled = {str(tls).lower()}\nhttps-certificate = "DIR/server.pem"\n'
            f'https-private-key = "DIR/server.key"\n{http}[monitor]\nstore-enabled = false\n'),
            self.url + "/ping", prepare)

    def query(self, q, db=DATABASE, **params):
        status, text = http(f"{self.url}/query?{urllib.parse.urlencode(self.auth)}",
                            {"q": q, "db": db, "epoch": "ns", **params})
        result = json.loads(text or "{}").get("results", [{}])[0]
        assert status == 200 and "error" not in result, (q, status, text[:300])
        return result.get("series", [])

    def stored(self, database, **params):
        """The points of a database (and retention policy rp=) as points() gives them."""
        return {(serie["name"], tuple(sorted((k, v) for k, v in serie["tags"].items() if v)),
                 tuple(sorted((k, v) for k, v in row.items() if v is not None)), stamp)
                for serie in self.query("SELECT * FROM /.*/ GROUP BY *", database, **params)
                for row in (dict(zip(serie["columns"], values)) for values in serie["values"])
                for stamp in [row.pop("time")]}  # others' tag keys come empty

    def variable(self, query, values):
        return sorted({row[1] for s in self.query(fill(query, values)) for row in s["values"]})

    def series(self, target, values):
        """(labels, legend, values) of each column of a dashboard target's series."""
        now, found = int(time.time() * 1000), []
        time_filter = f"time >= {int(self.start_time * 1000)}ms and time <= {now}ms"
        for s in self.query(fill(target["query"].replace("$timeFilter", time_filter), values)):
            for i, column in enumerate(s["columns"][1:], 1):
                found.append(({**dict.fromkeys(s["columns"]), **s.get("tags", {})}, re.sub(
                    r"\$tag_(\w+)", lambda m: s.get("tags", {}).get(m.group(1), "MISSING"),
                    target["alias"]).replace("$col", column), [row[i] for row in s["values"]]))
        return found


class Prometheus:
    def __init__(self, port):
        self.port = port

    def api(self, path, **params):
        status, text = http(f"http://127.0.0.1:{self.port}/api/v1/{path}?"
                            + urllib.parse.urlencode(params, doseq=True))
        answer = json.loads(text or "{}")
        assert status == 200 and answer.get("status") == "success", (path, params, text[:300])
        return answer["data"]

    def value(self, query, **params):
        """The value of the query's first series, or None."""
        result = self.api("query", query=query, **params)["result"]
        return result[0]["value"][1] if result else None

    def variable(self, query, values):
        match = re.fullmatch(r"label_values\((.+), (\w+)\)", query)
        series = self.api("series", **{"match[]": fill(match.group(1), values),
                                       "start": time.time() - 60, "end": time.time()})
        return sorted({s[match.group(2)] for s in series if match.group(2) in s})

    def series(self, target, values):
        """(labels, legend, [value]) of each series of a target (legends differ per daemon)."""
        return [(r["metric"], (r["metric"].get("instance"), re.sub(
            r"\{\{(\w+)\}\}", lambda m: r["metric"].get(m.group(1), "MISSING"),
            target["legendFormat"])), [float(r["value"][1])]) for r in self.api(
                "query", query=fill(target["expr"], values), time=time.time())["result"]]


def check_board(name, database):
    """Failures of the board's data sources, of every variable and panel target (with the panel's
    title), and one for each of the EVENTS that shows no positive value."""
    objects, ref = [], {"type": name, "uid": "${datasource}"}
    with open(os.path.join(fx.SOURCE_DIR, "packaging", "grafana",
                           f"tarn-vm-perfdata-{name}.json")) as f:
        board = json.load(f, object_hook=lambda node: objects.append(node) or node)
    failures = [f"a data source other than the variable: {node}" for node in objects[:-1]
                if node.get("datasource", ref) != ref or node.get("uid", ref["uid"]) != ref["uid"]]
    values, found = {}, {}
    for variable in board["templating"]["list"][1:]:
        got = database.variable(variable["query"], values)
        if not got:
            failures.append(f"variable {variable['name']}: no values")
        # Every value chosen, as Grafana writes a multi-value variable into a regex.
        values[variable["name"]] = "(" + "|".join(re.escape(v) for v in got or ["none"]) + ")"
    for panel in board["panels"]:
        for target in panel.get("targets", []) if panel["type"] != "row" else []:
            title = f"{panel['title']} {target['refId']}"
            try:
                series = database.series(target, values)
            except AssertionError as error:
                failures.append(f"{title}: {error}")
                continue
            legends = [legend for _, legend, _ in series]
            found[title] = [v for *_, vs in series for v in vs if isinstance(v, (int, float))]
            failures += [f"{title}: {message}" for ok, message in [
                (series, "no series"),
                (all(any(v is not None for v in vs) for *_, vs in series), "a series all null"),
                (any(map(math.isfinite, found[title])), "no finite value"),
                (panel["type"] != "table" or series and {"hostname", "vm_id"} <= set(
                    series[0][0]), "a table without the columns hostname and vm_id"),
                (panel["type"] == "table" or "MISSING" not in str(legends) and len(
                    set(legends)) == len(legends), f"legends missing a label or shared: {legends}")]
                if not ok]
    failures += [f"{target}: no event shows" for target in EVENTS[name]
                 if target in found and max(found[target], default=0) <= 0]
    return [f"{name} dashboard: {failure}" for failure in failures]


def samples(scrape, keep=lambda name, labels: True):  # {(name, labels but hostname): value}
    return {(s.name, tuple(sorted((k, v) for k, v in s.labels.items() if k != "hostname"))):
            s.value for family in text_string_to_metric_families(scrape.decode())
            for s in family.samples if keep(s.name, s.labels)}


def pausing(arguments):
    """True while a tool whose argument vector holds these bytes waits in its "sleep" child (so
    it has read its delay)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f, open(f"/proc/{pid}/comm") as comm:
                if arguments.encode() in f.read() and comm.read() == "sleep\n":
                    return True
        except OSError:
            pass
    return False


def health_failures(scrape):
    """The first daemon's own figures out of their (name, labels, lowest, highest): some are
    counted as of the last feed, so bounded from below only."""
    got = {(name[len("tarn_vm_exporter_"):], ",".join(f"{k}={v}" for k, v in labels)): value
           for (name, labels), value in samples(scrape).items()}
    version, now = re.findall(r'build_info\{.*version="(\w+)"', scrape.decode()), time.time()
    version = version[0] if version else "missing"
    return [(name, labels, got.get((name, labels))) for name, labels, low, high in [
            ("vms_found", "", 3, 3), ("collection_interval_seconds", "", 1, 1),
            ("connections_evicted_total", "", 0, 0), ("scrapes_total", "code=404", 1, 1),
            ("scrapes_total", "code=200", 1, math.inf),
            ("tool_failures_total", "cause=timeout,tool=bhyvectl,vm_id=3", 1, 1),
            ("tool_failures_total", "cause=exit_status,tool=rctl,vm_id=9", 2, math.inf),
            ("build_info", f"version={version}", 1, 1),
            ("collection_end_timestamp_seconds", "", now - 10 * fx.SLACK, now),
            ("collection_duration_seconds", "", 1e-9, 5 * fx.SLACK)]
            if not low <= got.get((name, labels), -1) <= high] + [
            key for key in got if key[0] == "build_info" and key[1] != f"version={version}"]


def test_peers_and_dashboards():
    ports = {name: fx.free_port() for name in ("a", "b", "web", "closed")}
    prometheus_yml = ("global: {scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}"
                      f"\nrule_files: ['{FLEET_RULES}']\nscrape_configs:\n  - job_name: tarn\n"
                      "    static_configs: [{labels: {site: lab}, targets: ['127.0.0.1:"
                      f"{ports['a']}', '127.0.0.1:{ports['b']}']}}]\n")

    def config(port, **influx):
        text = fx.daemon_config(port, influx={"database": DATABASE, **influx})
        return text.replace("[influx]", "self_metrics = true\n[influx]", 1)
    with simhost.SimulatedHost(SETTINGS) as host, Influxd() as influxd:
        stats = simhost.standard_vm_texts(3)["stats"]
        host.add_vm(3, **simhost.standard_vm_texts(3, limit_class=0))
        host.set_tool(3, "get-stats", stats, delay=60)  # times out once, then answers
        host.add_vm(8)
        host.set_tool(8, "get-stats", "vcpu total runtime @COUNT@00000000\nnumber of ticks vcpu "
                      "was idle @COUNT@0\nsleeps in ms due to vcpu limit throttle @COUNT@00\n",
                      counter=True)
        blocks = [(9, [(9000, 90), (18000, 180), (0, 0), (100, 500)]),
                  (10, [(1, 1)] * 3 + [(0, 0)])]
        host.add_vm(9, **simhost.standard_vm_texts(9, blocks=blocks))
        host.set_tool(9, "rctl", "", status=2)
        influxd.query(f'CREATE DATABASE "{DATABASE}"')
        influxd.start_time = time.time()
        a = fx.Daemon(config(ports["a"], url=influxd.url[7:], user="u", password="p@ss word"),
                      ["-i"])
        with a.start(), fx.Daemon(config(ports["b"], url=f"127.0.0.1:{ports['closed']}",
                                         buffer_limit=5)) as b, Server(
                ["prometheus", "--config.file=DIR/p.yml", "--storage.tsdb.path=DIR/data",
                 f"--web.listen-address=127.0.0.1:{ports['web']}"], "p.yml", prometheus_yml):
            # Once the first slow run has begun, the next ones answer at once.
            assert wait_for(lambda: pausing("--get-stats\0--vm=3\0"), 10), a.log()
            host.set_tool(3, "get-stats", stats)
            b.start()
            nope = fx.exchange(ports["a"], b"GET /nope HTTP/1.1\r\n\r\n")
            assert nope.startswith(b"HTTP/1.1 404"), nope
            prometheus = Prometheus(ports["web"])
            assert wait_for(lambda: http(f"http://127.0.0.1:{ports['web']}/-/ready")[0] == 200, 20)
            enough = (f'min(count_over_time(up{{job="tarn"}}[1m])) >= {SCRAPES} and '
                      'count(up{job="tarn"} == 1) == 2')
            assert wait_for(lambda: prometheus.api("query", query=enough)["result"],
                            3 * SCRAPES), "Prometheus did not scrape both daemons"
            # The figures are counted as of the last feed: wait for one after the 404 and after
            # VM 3's first feed, whose duration is the tool's time limit.
            scrapes = []

            def healthy():
                scrapes.append(fx.body(fx.exchange(ports["a"])))
                return not health_failures(scrapes[-1])
            assert wait_for(healthy, 20, 0.2), health_failures(scrapes[-1])
            scrape = scrapes[-1]
            check = subprocess.run(["promtool", "check", "metrics"], input=scrape,
                                   capture_output=True, timeout=60)
            assert check.returncode == 0, check.stdout + check.stderr
            # Prometheus stores the scrape as it is (VM 8's counters and the health figures move).
            want = samples(scrape, lambda name, labels: not name.startswith(
                "tarn_vm_exporter_") and labels.get("vm_id") != "8")
            assert len(want) > 60 and {"3", "9"} <= {dict(k[1]).get("vm_id") for k in want}

            def stored():
                result = prometheus.api("query", query=(
                    f'{{instance="127.0.0.1:{ports["a"]}",__name__=~"tarn_vm_.+",'
                    '__name__!~"tarn_vm_exporter_.+",vm_id!="8"}'))["result"]
                return {(r["metric"].pop("__name__"), tuple(sorted(
                    (k, v) for k, v in r["metric"].items() if k not in ("job", "instance",
                                                                        "hostname", "site")))):
                        float(r["value"][1]) for r in result}
            got = wait_for(lambda: (s := stored()) == want and s, 10) or stored()
            assert got == want, sorted(set(want.items()) ^ set(got.items()))[:10]
            failures = check_board("prometheus", prometheus) if DASHBOARDS else []
            # Every line a has logged is stored; the newest feed may be logged only in part.
            feeds = a.log().count("[influx] host_cpu_limit")
            assert a.wait_log("[influx] host_cpu_limit", 5 * fx.SLACK, count=feeds + 1)
            sent = points(dumped(a))
            newest = max(row[3] for row in sent)
            sent = {row for row in sent if row[3] != newest}
            assert a.running() and b.running() and a.stop() == 0
            errors = a.log_lines("error", "POST failed|HTTP error")
            assert "p@ss" not in a.log() and not errors, errors
        stored = {row for row in influxd.stored(DATABASE) if row[3] in {row[3] for row in sent}}
        assert len(sent) >= 3 * (1 + 3 * 4) and stored == sent, sorted(sent ^ stored)[:10]
        failures += check_board("influxdb", influxd) if DASHBOARDS else []
    assert not failures, "\n".join(failures)


if __name__ == "__main__":
    fx.main([test_peers_and_dashboards])
