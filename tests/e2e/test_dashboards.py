"""The Grafana dashboards of packaging/grafana against real databases: a real Prometheus scrapes
two daemons on a simulated host (VMs with block, network and balloon devices, a throttled one, a
host tool failing for another; the second daemon's InfluxDB port is closed, so it buffers and
drops lines) and a real influxd receives the first daemon's lines. Then every variable's and every
panel's query, with Grafana's variables filled in, must return data, name only families, fields
and labels that exist, and give each series a legend of its own. Root only (private namespaces);
every server is stopped at the end."""
import json
import math
import os
import re
import time
import urllib.parse

import fixture as fx
from fixture import simhost
from test_peers import Server, http, wait_for

GRAFANA = os.path.join(fx.SOURCE_DIR, "packaging", "grafana")
SETTINGS = {"kern.hz": 100, "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
            "hw.vmm.vcpu_limit.class.1.rate_limit": 40,
            "hw.vmm.vcpu_limit.class.1.burst_secs": 3}
SCRAPES = 7  # seconds of data, one scrape and one collection a second
# Grafana's own variables, as Grafana fills them for a short range at a 1 s scrape interval.
BUILTIN = {"$__rate_interval": "4s", "$__range": "30s", "$__interval": "2s"}
# Targets that show this test's events: the throttled VM's sleep; rctl failing for VM 9; the lines
# the second daemon drops and buffers.
EVENTS = {"prometheus": ["vCPU-limit throttle sleep A", "Host-tool failures A", "InfluxDB lines C",
                         "InfluxDB lines buffered A"],
          "influxdb": ["vCPU-limit throttle sleep A"]}
UNITS = {"s", "ms", "bytes", "Bps", "iops", "pps", "percent", "percentunit", "short", "hertz",
         "reqps"}


def load(name):
    with open(os.path.join(GRAFANA, f"tarn-vm-perfdata-{name}.json")) as f:
        return json.load(f)


def panels(board):
    return [p for p in board["panels"] if p["type"] != "row"]


def regex_alternation(values):
    """A multi-value variable with every value chosen, as Grafana writes it into a regex."""
    return "(" + "|".join(re.escape(v) for v in values) + ")"


def fill(query, values):
    for name, value in BUILTIN.items():
        query = query.replace(name, value)
    for name in sorted(values, key=len, reverse=True):
        query = query.replace(f"${name}", values[name])
    assert not re.search(r"\$\w", query), f"a variable the dashboard does not define: {query}"
    return query


class Prometheus:
    def __init__(self, port, families):
        self.port, self.families = port, families

    def api(self, path, **params):
        status, text = http(f"http://127.0.0.1:{self.port}/api/v1/{path}?"
                            + urllib.parse.urlencode(params, doseq=True))
        answer = json.loads(text or "{}")
        assert status == 200 and answer.get("status") == "success", (path, params, text[:300])
        return answer["data"]

    def variable(self, query, values):
        match = re.fullmatch(r"label_values\((.+), (\w+)\)", query)
        assert match, query
        end = time.time()
        series = self.api("series", **{"match[]": fill(match.group(1), values),
                                       "start": end - 60, "end": end})
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
        labels = re.findall(r"\{\{(\w+)\}\}", target["legendFormat"])
        if panel["type"] == "table":
            labels = ["hostname", "vm_id"]  # the table's first columns
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

    def query(self, text):
        status, answer = http(f"http://127.0.0.1:{self.port}/query",
                              {"db": "tarn", "q": text, "epoch": "ms"})
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
        found = []
        for s in series:
            columns = [c for c in s["columns"] if c != "time"]
            for i, column in enumerate(columns, 1):
                column_values = [row[i] for row in s["values"]]
                assert any(v is not None for v in column_values), f"{column} all null: {s}"
                found += [v for v in column_values if isinstance(v, (int, float))]
        tags = re.findall(r"\$tag_(\w+)", target["alias"])
        if panel["type"] == "table":
            assert {"hostname", "vm_id"} <= set(series[0]["columns"]), series[0]["columns"]
        else:
            legends = []
            for s in series:
                assert all(t in s.get("tags", {}) for t in tags), f"{tags} not all in {s}"
                for column in s["columns"][1:]:
                    legends.append(re.sub(r"\$tag_(\w+)", lambda m: s["tags"][m.group(1)],
                                          target["alias"]).replace("$col", column))
            assert len(set(legends)) == len(legends), f"series share a legend: {legends}"
        return found


def check_board(name, database):
    """Every variable and every panel's target: [failure with the panel's title], and one for each
    of the EVENTS that shows no positive value."""
    board = load(name)
    values, failures, found = {}, [], {}
    for variable in board["templating"]["list"][1:]:
        got = database.variable(variable["query"], values)
        if not got:
            failures.append(f"variable {variable['name']}: no values")
        values[variable["name"]] = regex_alternation(got or ["none"])
    for panel in panels(board):
        for target in panel["targets"]:
            try:
                found[f"{panel['title']} {target['refId']}"] = database.check(panel, target,
                                                                              values)
            except AssertionError as error:
                failures.append(f"{panel['title']} ({target['refId']}): {error}")
    failures += [f"{target}: no event shows" for target in EVENTS[name]
                 if target in found and max(found[target]) <= 0]
    return [f"{name} dashboard: {failure}" for failure in failures]


def simulated_vms(host):
    """VM 3 without a vCPU limit, VM 8 throttled (its counters grow every collection), VM 9 with
    rctl failing and a second block device without limits."""
    host.add_vm(3, **simhost.standard_vm_texts(3, limit_class=0))
    host.add_vm(8)
    host.set_tool(8, "get-stats", "vcpu total runtime @COUNT@00000000\nnumber of ticks vcpu was "
                  "idle @COUNT@0\nsleeps in ms due to vcpu limit throttle @COUNT@00\n",
                  counter=True)
    blocks = [(9, [(9000, 90), (18000, 180), (0, 0), (100, 500)]), (10, [(1, 1)] * 3 + [(0, 0)])]
    host.add_vm(9, **simhost.standard_vm_texts(9, blocks=blocks))
    host.set_tool(9, "rctl", "", status=2)


def daemon_config(port, influx_port, extra=""):
    return (f"[prometheus]\nlisten = 127.0.0.1:{port}\nself_metrics = true\n[influx]\n"
            f"interval = 1\nurl = 127.0.0.1:{influx_port}\ndatabase = tarn\n{extra}")


def influxd_config(port):
    return (f'reporting-disabled = true\nbind-address = "127.0.0.1:{fx.free_port()}"\n'
            '[meta]\n  dir = "DIR/meta"\n[data]\n  dir = "DIR/data"\n  wal-dir = "DIR/wal"\n'
            f'[http]\n  bind-address = "127.0.0.1:{port}"\n  log-enabled = false\n'
            "[monitor]\n  store-enabled = false\n")


def test_dashboards_against_real_databases():
    ports = {name: fx.free_port() for name in ("influx", "a", "b", "web", "closed")}
    targets = f"['127.0.0.1:{ports['a']}', '127.0.0.1:{ports['b']}']"
    prometheus_yml = ("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n"
                      f"  - job_name: tarn\n    static_configs: [{{targets: {targets}}}]\n")
    with simhost.SimulatedHost(SETTINGS) as host, Server(
            ["influxd", "run", "-config", "DIR/i.conf"], "i.conf", influxd_config(ports["influx"])):
        simulated_vms(host)
        assert wait_for(lambda: http(f"http://127.0.0.1:{ports['influx']}/ping")[0] == 204, 20)
        assert http(f"http://127.0.0.1:{ports['influx']}/query",
                    {"q": "CREATE DATABASE tarn"})[0] == 200
        start = time.time()
        # The second daemon's InfluxDB port is closed: its lines fill a small buffer and drop.
        with fx.Daemon(daemon_config(ports["a"], ports["influx"])).start() as a, fx.Daemon(
                daemon_config(ports["b"], ports["closed"], "buffer_limit = 5\n")).start() as b, \
                Server(["prometheus", "--config.file=DIR/p.yml", "--storage.tsdb.path=DIR/data",
                        f"--web.listen-address=127.0.0.1:{ports['web']}"], "p.yml",
                       prometheus_yml):
            prometheus = Prometheus(ports["web"], set())
            assert wait_for(lambda: http(f"http://127.0.0.1:{ports['web']}/-/ready")[0] == 200, 20)
            enough = (f'min(count_over_time(up{{job="tarn"}}[1m])) >= {SCRAPES} and '
                      'count(up{job="tarn"} == 1) == 2')
            assert wait_for(lambda: prometheus.api("query", query=enough)["result"],
                            3 * SCRAPES), "Prometheus did not scrape both daemons"
            for daemon in (ports["a"], ports["b"]):
                scrape = fx.body(fx.exchange(daemon)).decode()
                prometheus.families |= set(re.findall(r"^# TYPE (\S+) ", scrape, re.M))
            failures = (check_board("prometheus", prometheus)
                        + check_board("influxdb", Influx(ports["influx"], start)))
            assert a.running() and b.running()
    assert not failures, "\n".join(failures)


def test_dashboard_files():
    for name, source in (("prometheus", "prometheus"), ("influxdb", "influxdb")):
        board = load(name)
        assert board["schemaVersion"] >= 36 and "__inputs" not in board, name
        variables = {v["name"]: v for v in board["templating"]["list"]}
        assert list(variables) == ["datasource", "hostname", "vdc", "vm"], variables
        assert variables["datasource"]["type"] == "datasource"
        assert variables["datasource"]["query"] == source

        def walk(node, path):  # every data-source reference is the variable, never a UID
            if isinstance(node, dict):
                if "datasource" in node:
                    assert node["datasource"] == {"type": source, "uid": "${datasource}"}, path
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
            if panel["type"] == "row":
                continue
            units = [panel["fieldConfig"]["defaults"].get("unit")] + [
                p["value"] for o in panel["fieldConfig"]["overrides"] for p in o["properties"]
                if p["id"] == "unit"]
            assert all(u in UNITS or re.fullmatch(r"suffix:\S+", u or "") for u in units), \
                (name, panel["title"], units)


if __name__ == "__main__":
    fx.main([test_dashboard_files, test_dashboards_against_real_databases])
