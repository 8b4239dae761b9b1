"""Real peers of running daemons, in one scenario on one simulated host: VM 3 (no vCPU limit, its
first --get-stats times out, --get-all lists its descriptors), VM 8 (throttled, counters growing
every collection), VM 9 (rctl failing, a second block device). A real Prometheus scrapes two
daemons with self_metrics on; a real influxd receives the first one's lines (a database name and
a password that would break the URL); the second one's InfluxDB port is closed, so it buffers and
drops lines. Checked: promtool on the scrape, Prometheus' stored series and influxd's stored rows
equal what was sent, the exact health figures, tools started with descriptors 0-2 only, and every
variable and panel query of the Grafana dashboards of packaging/grafana (data, only existing
names, a legend per series). Then an Influx listener that never answers. Root only."""
import json
import math
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

import fixture as fx
from fixture import simhost, wait_for
from prometheus_client.parser import text_string_to_metric_families

NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))
GRAFANA = os.path.join(fx.SOURCE_DIR, "packaging", "grafana")
DATABASE = "tarn db&precision=s"  # would add a query parameter to an unescaped URL
SETTINGS = {"kern.hz": 100, "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
            "hw.vmm.vcpu_limit.class.1.rate_limit": 40, "hw.vmm.vcpu_limit.class.1.burst_secs": 3}
# The dashboards' queries test the JSON against the databases, nothing of the daemon's memory or
# threads: the plain build's run does them, the sanitizer builds' runs check the rest sooner.
DASHBOARDS = not os.environ.get("TARN_SANITIZE")
SCRAPES = 7 if DASHBOARDS else 2  # seconds of data, one scrape and one collection a second
# Grafana's own variables, as Grafana fills them for a short range at a 1 s scrape interval.
BUILTIN = {"$__rate_interval": "4s", "$__range": "30s", "$__interval": "2s"}
# Targets that show this scenario's events: VM 8's sleeps, rctl failing for VM 9, the lines the
# second daemon drops and buffers.
EVENTS = {"prometheus": ["vCPU-limit throttle sleep A", "Host-tool failures A", "InfluxDB lines C",
                         "InfluxDB lines buffered A"], "influxdb": ["vCPU-limit throttle sleep A"]}
UNITS = {"s", "ms", "bytes", "Bps", "iops", "pps", "percent", "percentunit", "short", "hertz",
         "reqps"}


def http(url, form=None):
    data = urllib.parse.urlencode(form).encode() if form else None
    try:
        with NO_PROXY.open(url, data, timeout=5) as answer:
            return answer.status, answer.read()
    except OSError:
        return None, b""


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


def influx_line(text):
    """(measurement, tags, fields, timestamp) of one line-protocol line without escapes."""
    key, fields, stamp = text.split(" ")
    measurement, *tags = key.split(",")
    return (measurement, dict(t.split("=") for t in tags),
            {k: float(v) for k, v in (f.split("=") for f in fields.split(","))}, int(stamp))


def fill(query, values):
    for name, value in BUILTIN.items():
        query = query.replace(name, value)
    for name in sorted(values, key=len, reverse=True):
        query = query.replace(f"${name}", values[name])
    assert not re.search(r"\$\w", query), f"a variable the dashboard does not define: {query}"
    return query


class Prometheus:
    def __init__(self, port):
        self.port, self.families = port, set()

    def api(self, path, **params):
        status, text = http(f"http://127.0.0.1:{self.port}/api/v1/{path}?"
                            + urllib.parse.urlencode(params, doseq=True))
        answer = json.loads(text or "{}")
        assert status == 200 and answer.get("status") == "success", (path, params, text[:300])
        return answer["data"]

    def variable(self, query, values):
        match = re.fullmatch(r"label_values\((.+), (\w+)\)", query)
        assert match, query
        series = self.api("series", **{"match[]": fill(match.group(1), values),
                                       "start": time.time() - 60, "end": time.time()})
        return sorted({s[match.group(2)] for s in series if match.group(2) in s})

    def check(self, panel, target, values):
        """The values of one target's series."""
        query = fill(target["expr"], values)
        missing = set(re.findall(r"\btarn_vm_\w+", query)) - self.families
        assert not missing, f"not in the scrape: {sorted(missing)}"
        result = self.api("query", query=query, time=time.time())["result"]
        assert result, f"no series: {query}"
        series = [(r["metric"], float(r["value"][1])) for r in result]
        assert any(math.isfinite(v) for _, v in series), f"no finite value: {series}"
        labels = ["hostname", "vm_id"] if panel["type"] == "table" else re.findall(
            r"\{\{(\w+)\}\}", target["legendFormat"])  # a table's first columns
        shown = {}
        for metric, _ in series:
            assert all(name in metric for name in labels), f"{labels} not all in {metric}"
            legend = re.sub(r"\{\{(\w+)\}\}", lambda m: metric[m.group(1)], target["legendFormat"])
            shown.setdefault(metric.get("instance"), []).append(legend)
        assert all(len(set(v)) == len(v) for v in shown.values()) or panel["type"] == "table", \
            f"series share a legend: {shown}"
        return [v for _, v in series]


class Influx:
    def __init__(self, port, start):
        self.port, self.start = port, start

    def query(self, text, epoch="ms"):
        status, answer = http(f"http://127.0.0.1:{self.port}/query",
                              {"db": DATABASE, "q": text, "epoch": epoch})
        result = json.loads(answer or "{}").get("results", [{}])[0]
        assert status == 200 and "error" not in result, (text, answer[:300])
        return result.get("series", [])

    def keys(self, measurement):
        return {row[0] for show in ("FIELD", "TAG") for s in
                self.query(f'SHOW {show} KEYS FROM "{measurement}"') for row in s["values"]}

    def variable(self, query, values):
        return sorted({row[1] for s in self.query(fill(query, values)) for row in s["values"]})

    def check(self, panel, target, values):
        """The numbers of one target's series."""
        time_filter = f"time >= {int(self.start * 1000)}ms and time <= {int(time.time() * 1000)}ms"
        query = fill(target["query"].replace("$timeFilter", time_filter), values)
        measurements = set(re.findall(r'FROM "(\w+)"', query))
        named = set(re.findall(r'"([^"]+)"', query)) - measurements - set(
            re.findall(r'AS "([^"]+)"', query))
        known = set().union(*(self.keys(m) for m in measurements))
        assert measurements and named <= known, f"not in the database: {sorted(named - known)}"
        series = self.query(query)
        assert series, f"no series: {query}"
        found, legends = [], []
        for s in series:
            for i, column in enumerate(s["columns"][1:], 1):
                column_values = [row[i] for row in s["values"]]
                assert any(v is not None for v in column_values), f"{column} all null: {s}"
                found += [v for v in column_values if isinstance(v, (int, float))]
                legends.append(re.sub(r"\$tag_(\w+)", lambda m: s.get("tags", {}).get(
                    m.group(1), "MISSING"), target["alias"]).replace("$col", column))
        if panel["type"] == "table":
            assert {"hostname", "vm_id"} <= set(series[0]["columns"]), series[0]["columns"]
        else:
            assert "MISSING" not in "".join(legends), f"a tag of {target['alias']} missing"
            assert len(set(legends)) == len(legends), f"series share a legend: {legends}"
        return found


def load(name):
    with open(os.path.join(GRAFANA, f"tarn-vm-perfdata-{name}.json")) as f:
        return json.load(f)


def check_board(name, database):
    """Failures of every variable and panel target (with the panel's title), and one for each of
    the EVENTS that shows no positive value."""
    board = load(name)
    values, failures, found = {}, [], {}
    for variable in board["templating"]["list"][1:]:
        got = database.variable(variable["query"], values)
        if not got:
            failures.append(f"variable {variable['name']}: no values")
        # Every value chosen, as Grafana writes a multi-value variable into a regex.
        values[variable["name"]] = "(" + "|".join(re.escape(v) for v in got or ["none"]) + ")"
    for panel in (p for p in board["panels"] if p["type"] != "row"):
        for target in panel["targets"]:
            try:
                found[f"{panel['title']} {target['refId']}"] = database.check(panel, target,
                                                                              values)
            except AssertionError as error:
                failures.append(f"{panel['title']} ({target['refId']}): {error}")
    failures += [f"{target}: no event shows" for target in EVENTS[name]
                 if target in found and max(found[target]) <= 0]
    return [f"{name} dashboard: {failure}" for failure in failures]


def samples(scrape, keep=lambda name, labels: True):
    """{(name, sorted labels without hostname): value} of a scrape."""
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


def check_health_figures(scrape):
    got = samples(scrape)
    expected = {("vms_found", ()): 3, ("collection_interval_seconds", ()): 1,
                ("connections_evicted_total", ()): 0, ("scrapes_total", (("code", "404"),)): 1,
                ("tool_failures_total", (("cause", "timeout"), ("tool", "bhyvectl"),
                                         ("vm_id", "3"))): 1}
    for (name, labels), value in expected.items():
        assert got[(f"tarn_vm_exporter_{name}", labels)] == value, (name, labels, got)
    # Counted as of the last feed: one scrape at least, and rctl's failure at every feed.
    assert got[("tarn_vm_exporter_scrapes_total", (("code", "200"),))] >= 1
    assert got[("tarn_vm_exporter_tool_failures_total",
                (("cause", "exit_status"), ("tool", "rctl"), ("vm_id", "9")))] >= 2, got
    assert abs(got[("tarn_vm_exporter_collection_end_timestamp_seconds", ())]
               - time.time()) < 10 * fx.SLACK
    assert 0 < got[("tarn_vm_exporter_collection_duration_seconds", ())] < 5 * fx.SLACK
    version = re.search(r'build_info\{.*version="(\w+)"', scrape.decode()).group(1)
    assert [k for k in got if k[0] == "tarn_vm_exporter_build_info"] == [
        ("tarn_vm_exporter_build_info", (("version", version),))]


def test_peers_and_dashboards():
    ports = {name: fx.free_port() for name in ("influx", "a", "b", "web", "closed")}
    prometheus_yml = ("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n"
                      "  - job_name: tarn\n    static_configs: [{targets: ['127.0.0.1:"
                      f"{ports['a']}', '127.0.0.1:{ports['b']}']}}]\n")
    influxd_conf = (f'reporting-disabled = true\nbind-address = "127.0.0.1:{fx.free_port()}"\n'
                    '[meta]\n  dir = "DIR/meta"\n[data]\n  dir = "DIR/data"\n'
                    f'  wal-dir = "DIR/wal"\n[http]\n  bind-address = "127.0.0.1:{ports["influx"]}"'
                    "\n  log-enabled = false\n[monitor]\n  store-enabled = false\n")

    def config(port, **influx):
        text = fx.daemon_config(port, influx={"database": DATABASE, **influx})
        return text.replace("[influx]", "self_metrics = true\n[influx]", 1)
    with simhost.SimulatedHost(SETTINGS) as host, Server(
            ["influxd", "run", "-config", "DIR/i.conf"], "i.conf", influxd_conf):
        stats = simhost.standard_vm_texts(3)["stats"]
        host.add_vm(3, **simhost.standard_vm_texts(3, limit_class=0))
        host.set_tool(3, "get-stats", stats, delay=60)  # times out once, then answers
        listed = host.set_tool(3, "get-all", simhost.standard_vm_texts(3)["get_all"],
                               fds=True).replace(".counter", ".fds")
        host.add_vm(8)
        host.set_tool(8, "get-stats", "vcpu total runtime @COUNT@00000000\nnumber of ticks vcpu "
                      "was idle @COUNT@0\nsleeps in ms due to vcpu limit throttle @COUNT@00\n",
                      counter=True)
        blocks = [(9, [(9000, 90), (18000, 180), (0, 0), (100, 500)]),
                  (10, [(1, 1)] * 3 + [(0, 0)])]
        host.add_vm(9, **simhost.standard_vm_texts(9, blocks=blocks))
        host.set_tool(9, "rctl", "", status=2)
        influx_url = f"127.0.0.1:{ports['influx']}"
        assert wait_for(lambda: http(f"http://{influx_url}/ping")[0] == 204, 20)
        assert http(f"http://{influx_url}/query", {"q": f'CREATE DATABASE "{DATABASE}"'})[0] == 200
        start = time.time()
        a = fx.Daemon(config(ports["a"], url=influx_url, user="u", password="p@ss word"), ["-i"])
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
            enough = (f'min(count_over_time(up{{job="tarn"}}[1m])) >= {SCRAPES} and '
                      'count(up{job="tarn"} == 1) == 2')
            assert wait_for(lambda: http(f"http://127.0.0.1:{ports['web']}/-/ready")[0] == 200, 20)
            assert wait_for(lambda: prometheus.api("query", query=enough)["result"],
                            3 * SCRAPES), "Prometheus did not scrape both daemons"
            scrape = fx.body(fx.exchange(ports["a"]))
            check_health_figures(scrape)
            check = subprocess.run(["promtool", "check", "metrics"], input=scrape,
                                   capture_output=True, timeout=60)
            assert check.returncode == 0, check.stdout + check.stderr
            for port in (ports["a"], ports["b"]):
                prometheus.families |= set(re.findall(
                    r"^# TYPE (\S+) ", fx.body(fx.exchange(port)).decode(), re.M))
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
                                                                        "hostname")))):
                        float(r["value"][1]) for r in result}
            got = wait_for(lambda: (s := stored()) == want and s, 10) or stored()
            assert got == want, sorted(set(want.items()) ^ set(got.items()))[:10]
            failures = check_board("prometheus", prometheus) if DASHBOARDS else []
            with open(listed) as f:  # beside the log, server sockets and libcurl's connection
                assert (fds := f.read()) == "0 1 2\n", f"a tool started with descriptors {fds}"
            # Every line a has logged since it was started is stored, between two feeds.
            feeds = a.log().count("[influx] host_cpu_limit")
            assert a.wait_log("[influx] host_cpu_limit", 5 * fx.SLACK, count=feeds + 1)
            time.sleep(0.3)
            sent = {(m, tuple(sorted(t.items())), tuple(sorted(f.items())), s) for m, t, f, s in
                    (influx_line(line[9:]) for line in a.log_lines("info", r"^\[influx\] "))}
            assert a.running() and b.running() and a.stop() == 0
            errors = a.log_lines("error", "POST failed|HTTP error")
            assert "p@ss" not in a.log() and not errors, errors
        influx = Influx(ports["influx"], start)
        stored = set()
        for serie in influx.query("SELECT * FROM /.*/ GROUP BY *", epoch="ns"):
            for row in serie["values"]:
                values = dict(zip(serie["columns"], row))
                stamp = values.pop("time")
                stored.add((serie["name"], tuple(sorted(  # others' tag keys come empty
                    (k, v) for k, v in serie["tags"].items() if v)), tuple(
                    sorted((k, v) for k, v in values.items() if v is not None)), stamp))
        stored = {row for row in stored if row[3] in {row[3] for row in sent}}
        assert len(sent) >= 3 * (1 + 3 * 4) and stored == sent, sorted(sent ^ stored)[:10]
        failures += check_board("influxdb", influx) if DASHBOARDS else []
    assert not failures, "\n".join(failures)


def test_dashboard_files():
    for name in ("prometheus", "influxdb"):
        board = load(name)
        assert board["schemaVersion"] >= 36 and "__inputs" not in board, name
        variables = {v["name"]: v for v in board["templating"]["list"]}
        assert list(variables) == ["datasource", "hostname", "vdc", "vm"], variables
        assert variables["datasource"]["type"] == "datasource"
        assert variables["datasource"]["query"] == name

        def walk(node, path):  # every data-source reference is the variable, never a UID
            if isinstance(node, dict):
                if "datasource" in node:
                    assert node["datasource"] == {"type": name, "uid": "${datasource}"}, path
                for key, value in node.items():
                    assert key != "uid" or value == "${datasource}" or path == "", (path, value)
                    walk(value, f"{path}/{key}")
            elif isinstance(node, list):
                for i, value in enumerate(node):
                    walk(value, f"{path}/{i}")
        walk(board, "")
        cells, ids = set(), set()
        for panel in board["panels"]:
            grid = panel["gridPos"]
            mine = {(grid["x"] + i, grid["y"] + j) for i in range(grid["w"])
                    for j in range(grid["h"])}
            assert grid["x"] + grid["w"] <= 24 and not mine & cells and panel["id"] not in ids, \
                (name, panel["title"])
            cells |= mine
            ids.add(panel["id"])
            units = [panel.get("fieldConfig", {}).get("defaults", {}).get("unit")] + [
                p["value"] for o in panel.get("fieldConfig", {}).get("overrides", [])
                for p in o["properties"] if p["id"] == "unit"]
            assert panel["type"] == "row" or all(
                u in UNITS or re.fullmatch(r"suffix:\S+", u or "") for u in units), \
                (name, panel["title"], units)


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
    fx.main([test_dashboard_files] * DASHBOARDS + [test_peers_and_dashboards,
                                                    test_influx_listener_that_never_answers])
