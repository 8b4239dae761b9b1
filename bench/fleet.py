"""Fleet: N hosts of 20 VMs each against real central stores, and what each host costs them.

A simulated host of 20 standard VMs (one disk, one NIC, a balloon each) stands for every host.
Up to N = 10 (--real-up-to) a real daemon runs per host, each in a UTS namespace of its own that
gives it the host's name, serving on its own loopback address (127.0.1.1, ...) and posting its
lines to VictoriaMetrics (self_metrics on, batch_size 5000, buffer_limit 100000, gzip). This
machine (2 cores) cannot hold 50 or 200 such daemons, so above that the fleet is a replay: one
daemon (self_metrics on, InfluxDB off) runs, and every interval its real scrape is served on N
loopback addresses, each with its own hostname label, and one feed of its real InfluxDB lines
(from its -i log) is posted once per host under that host's name with a fresh timestamp (one gzip
POST per host, as batch_size 5000 and gzip = true send it). The stores, all on 127.0.0.1 and
fresh for every N:

- Prometheus, with the guide's packaging/examples/fleet/prometheus.yml, both rule files and a
  targets file in the guide's layout (10 hosts a site, 5 a rack); only paths are rewritten
  (--short: intervals of 2 s instead of 10 s, timeout 1 s);
- VictoriaMetrics with the flags of packaging/examples/fleet/victoria-metrics.default (data
  directory and listen address rewritten), taking the lines on /write?db=tarn;
- influxd 1.x at N = 50, taking the same lines.

After a warm-up (every target up, two intervals) it measures over a window, per N: active series
(Prometheus' head, VictoriaMetrics' series count, influxd's series cardinality times the fields
per line), samples (fields) stored per second, each store's resident memory and CPU (/proc) and
both per 10,000 series, the 99th percentile of scrape_duration_seconds over the window, the query
time of the slowest three panel queries of each shipped dashboard against the store it reads
(Prometheus dashboard on Prometheus, InfluxDB dashboard on influxd; every variable at "All", a
range of one hour, step 15 s, median of three runs), and the Fleet row's "vCPU run time by site"
from the recorded series against the same sum over every VM's series. Before the fleet it prints
the cardinality of one host, counted from the daemon's real scrape by family. Run as root:

    /usr/bin/python3 bench/fleet.py [BUILD_DIR] [--short] [--hosts 10,50,200] [--seconds S]
                                    [--real-up-to N]

--short: N = 10, intervals of 2 s, an 8 s window, no influxd.
"""
import asyncio
import gzip
import http.client
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402

VMS = 20
FLEET = os.path.join(bench_util.SOURCE_DIR, "packaging", "examples", "fleet")
FAMILIES = ("host_cpu_limit", "bhyve_cpu", "virtio_blk", "virtio_net", "virtio_balloon",
            "exporter")
HZ = os.sysconf("SC_CLK_TCK")


def host_name(i):
    return f"fleet-h{i:03d}"


def address(i):
    return f"127.0.1.{i}" if i < 255 else f"127.0.{1 + i // 255}.{i % 255}"


class Replay:
    """The daemon's scrape under N addresses and host names, refreshed every interval."""

    def __init__(self, daemon_port, real_host, hosts, interval):
        self.daemon_port, self.real_host, self.hosts = daemon_port, real_host, hosts
        self.interval, self.bodies, self.stop = interval, {}, threading.Event()
        self.servers, self.writers = [], set()
        self.refresh()
        self.loop = asyncio.new_event_loop()
        self.port = None
        ready = threading.Event()
        self.thread = threading.Thread(target=self._serve, args=(ready,), daemon=True)
        self.thread.start()
        ready.wait(30)
        threading.Thread(target=self._refresher, daemon=True).start()

    def refresh(self):
        status, document = bench_util.http_get(self.daemon_port)
        if status != 200:
            return
        real = f'hostname="{self.real_host}"'.encode()
        bodies = {}
        for i in range(1, self.hosts + 1):
            plain = document.replace(real, f'hostname="{host_name(i)}"'.encode())
            bodies[i] = (plain, gzip.compress(plain, 1))  # the level the daemon uses
        self.bodies = bodies

    def _refresher(self):
        while not self.stop.wait(self.interval):
            self.refresh()

    async def _handle(self, i, reader, writer):
        self.writers.add(writer)
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                plain, packed = self.bodies[i]
                zipped = b"gzip" in head.lower()
                body = packed if zipped else plain
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n"
                             + (b"Content-Encoding: gzip\r\n" if zipped else b"")
                             + f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError, asyncio.LimitOverrunError):
            pass
        finally:
            self.writers.discard(writer)
            writer.close()

    def _serve(self, ready):
        asyncio.set_event_loop(self.loop)

        async def start():
            for i in range(1, self.hosts + 1):
                self.servers.append(await asyncio.start_server(
                    lambda r, w, i=i: self._handle(i, r, w), address(i), self.port or 0))
                self.port = self.servers[0].sockets[0].getsockname()[1]
        self.loop.run_until_complete(start())
        ready.set()
        self.loop.run_forever()

    def close(self):
        async def shut():
            for server in self.servers:
                server.close()
            for writer in list(self.writers):
                writer.close()
            await asyncio.sleep(0.1)  # the handlers see their connections closed and end
            self.loop.stop()
        self.stop.set()
        asyncio.run_coroutine_threadsafe(shut(), self.loop)
        self.thread.join(10)
        self.loop.close()


class Daemons:
    """A real daemon per host, each in a UTS namespace of its own named after the host (its
    hostname label), all on the one simulated host, posting their lines to VictoriaMetrics."""

    def __init__(self, fx, hosts, interval, vm_port):
        self.port, self.daemons = fx.free_port(), []
        for i in range(1, hosts + 1):
            daemon = fx.Daemon(
                f"[prometheus]\nlisten = {address(i)}:{self.port}\nself_metrics = true\n[influx]\n"
                f"interval = {interval}\nurl = 127.0.0.1:{vm_port}\ndatabase = tarn\n"
                "batch_size = 5000\nbuffer_limit = 100000\ngzip = true\n")
            daemon.args = ["unshare", "--uts", "sh", "-c", 'hostname "$0" && exec "$@"',
                           host_name(i), *daemon.args]
            self.daemons.append(daemon.start(timeout=30))

    def close(self):
        for daemon in self.daemons:
            daemon.__exit__(None, None, None)


class Poster(threading.Thread):
    """One feed of the daemon's lines per host and interval, to every (host, port) in stores."""

    def __init__(self, lines, real_host, hosts, interval, stores):
        super().__init__(daemon=True)
        self.template = [line.replace(f",hostname={real_host}", ",hostname=HOST")
                         .rsplit(" ", 1)[0] for line in lines]
        self.hosts, self.interval, self.stores = hosts, interval, stores
        self.stop, self.failures, self.posts = threading.Event(), 0, 0

    def run(self):
        connections = {port: http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                       for port in self.stores}
        while True:
            start = time.monotonic()
            for i in range(1, self.hosts + 1):
                stamp = f" {time.time_ns()}\n"
                body = gzip.compress("".join(line.replace("HOST", host_name(i)) + stamp
                                             for line in self.template).encode(), 1)
                for port, connection in connections.items():
                    try:
                        connection.request("POST", "/write?db=tarn", body,
                                           {"Content-Encoding": "gzip"})
                        answer = connection.getresponse()
                        answer.read()
                        self.posts += 1
                        self.failures += answer.status != 204
                    except (OSError, http.client.HTTPException):
                        self.failures += 1
                        connection.close()
            if self.stop.wait(max(0.0, self.interval - (time.monotonic() - start))):
                return


def get_json(port, path, params=None, data=None):
    url = f"http://127.0.0.1:{port}{path}" + ("?" + urllib.parse.urlencode(params, doseq=True)
                                                if params else "")
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    try:
        connection.request("POST" if data else "GET", url, data and urllib.parse.urlencode(data),
                           {"Content-Type": "application/x-www-form-urlencoded"} if data else {})
        answer = connection.getresponse()
        return answer.status, json.loads(answer.read() or b"{}")
    finally:
        connection.close()


def metric_value(port, name, path="/metrics"):
    """The sum of a family's samples (all its label sets) in a server's own /metrics."""
    status, text = bench_util.http_get(port, path)
    total = 0.0
    for line in text.decode().splitlines():
        if re.match(re.escape(name) + r"[ {]", line):
            total += float(line.rsplit(" ", 1)[1])
    return total


def influx_points(port):
    """Points (lines) influxd has taken, from its /debug/vars."""
    return get_json(port, "/debug/vars")[1]["write"]["values"]["pointReq"]


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cardinality(document):
    """Series by family in one scrape: {family: (series, VMs or devices they belong to)}."""
    counts = {}
    for line in document.decode().splitlines():
        if line.startswith("#") or not line:
            continue
        name = line.split("{", 1)[0].split(" ", 1)[0]
        family = next(f for f in FAMILIES if name.startswith(f"tarn_vm_{f}_"))
        labels = dict(re.findall(r'(\w+)="([^"]*)"', line.split("}", 1)[0]))
        owner = (labels.get("vm_id"), labels.get("slot")) if family.startswith(
            ("bhyve", "virtio")) else None
        series, owners = counts.setdefault(family, (0, set()))
        owners.add(owner)
        counts[family] = (series + 1, owners)
    return {family: (n, len(owners)) for family, (n, owners) in counts.items()}


def print_cardinality(document):
    counts = cardinality(document)
    total = sum(n for n, _ in counts.values())
    print(f"\none host of {VMS} VMs (one disk, one NIC, a balloon each), self_metrics on, "
          "series in its scrape:")
    print(f"{'family':<16} {'series':>7} {'of':>4} {'per one':>8}")
    for family in FAMILIES:
        n, owners = counts.get(family, (0, 0))
        per = "host" if family in ("host_cpu_limit", "exporter") else (
            "VM" if family in ("bhyve_cpu", "virtio_balloon") else "device")
        print(f"{family:<16} {n:7} {owners if per != 'host' else 1:4} "
              f"{n / max(owners, 1) if per != 'host' else n:8.1f} per {per}")
    per_vm = sum(n for f, (n, _) in counts.items() if f not in ("host_cpu_limit", "exporter"))
    fixed = total - per_vm
    print(f"total {total}: {fixed} per host + {per_vm / VMS:.1f} per VM of this shape; "
          f"Prometheus adds 5 per target (up, scrape_*)")
    two = (counts["bhyve_cpu"][0] + counts["virtio_balloon"][0]
           + 2 * counts["virtio_blk"][0] + 2 * counts["virtio_net"][0]) / VMS
    print(f"a VM with two disks and two NICs: {two:.0f} series; a host of 250 such VMs: "
          f"{fixed + 5 + 250 * two:.0f} samples a scrape (sample_limit 20000 in the guide's "
          f"config leaves {20000 / (fixed + 5 + 250 * two) - 1:.0%} headroom)")
    return total


def dashboard_targets(name):
    with open(os.path.join(bench_util.SOURCE_DIR, "packaging", "grafana",
                           f"tarn-vm-perfdata-{name}.json")) as f:
        board = json.load(f)
    return [(f"{panel['title']} {target['refId']}", target, panel["type"])
            for panel in board["panels"] if panel["type"] != "row"
            for target in panel.get("targets", [])]


def timed_median(run):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def panel_times(board, fills, ask):
    """(median time, title) of every panel target of a board, slowest first: ask(query, kind)
    runs the target's query with the variables filled in."""
    results = []
    for title, target, kind in dashboard_targets(board):
        query = target.get("expr") or target["query"]
        for key in sorted(fills, key=len, reverse=True):
            query = query.replace(key, fills[key])
        results.append((timed_median(lambda: ask(query, kind)), title))
    return sorted(results, reverse=True)


def prometheus_panels(port, interval, end):
    def ask(query, kind):
        if kind == "table":
            status, answer = get_json(port, "/api/v1/query", data={"query": query, "time": end})
        else:
            status, answer = get_json(port, "/api/v1/query_range", data={
                "query": query, "start": end - 3600, "end": end, "step": 15})
        assert status == 200 and answer.get("status") == "success", (query, answer)
    return panel_times("prometheus", {
        "$__rate_interval": f"{4 * interval}s", "$__range": "3600s", "$__interval": "15s",
        "$site": ".*", "$hostname": ".*", "$vdc": ".*", "$vm": ".*"}, ask)


def influx_panels(port):
    def ask(query, _):
        status, answer = get_json(port, "/query", {"db": "tarn", "q": query})
        assert status == 200 and "error" not in answer.get("results", [{}])[0], answer
    return panel_times("influxdb", {"$timeFilter": "time >= now() - 1h", "$__interval": "15s",
                                    "$hostname": ".*", "$vdc": ".*", "$vm": ".*"}, ask)


def start_server(peers, argv, ready_port, ready_path):
    server = peers.Server(argv, "unused", "")
    if not bench_util.wait_for(lambda: peers.http(
            f"http://127.0.0.1:{ready_port}{ready_path}")[0] in (200, 204), 30):
        sys.exit(f"{argv[0]} did not start; log:\n" + open(os.path.join(server.dir, "log")).read())
    return server


def prometheus_config(work, short):
    with open(os.path.join(FLEET, "prometheus.yml")) as f:
        text = f.read()
    if short:
        text = (text.replace("scrape_interval: 10s", "scrape_interval: 2s")
                .replace("scrape_timeout: 8s", "scrape_timeout: 1s")
                .replace("evaluation_interval: 30s", "evaluation_interval: 2s"))
    for rules in ("tarn-vm-perfdata.rules.yml", "fleet/tarn-vm-perfdata-fleet.rules.yml"):
        shutil.copy(os.path.join(FLEET, "..", rules), work)
    os.makedirs(os.path.join(work, "targets"))
    with open(os.path.join(work, "prometheus.yml"), "w") as f:
        f.write(text)
    return os.path.join(work, "prometheus.yml")


def targets_file(work, hosts, port):
    """The guide's layout: groups of hosts with their site and rack."""
    groups = []
    for first in range(1, hosts + 1, 5):
        members = range(first, min(first + 5, hosts + 1))
        groups.append(f"- targets: [{', '.join(repr(f'{address(i)}:{port}') for i in members)}]"
                      f"\n  labels:\n    site: s{(first - 1) // 10 + 1:02d}\n"
                      f"    rack: r{(first - 1) // 5 % 2 + 1}\n")
    path = os.path.join(work, "targets", "fleet.yml")
    with open(path + ".new", "w") as f:
        f.write("".join(groups))
    os.rename(path + ".new", path)


def victoria_args(work, port):
    argv = subprocess.run(["bash", "-c", f'. "{FLEET}/victoria-metrics.default"; '
                           'printf "%s\\n" $ARGS'], capture_output=True, text=True,
                          check=True).stdout.split()
    return ["victoria-metrics"] + [a.replace("/var/lib/victoria-metrics", work + "/vm")
                                   .replace("=:8428", f"=127.0.0.1:{port}") for a in argv]


def measure_fleet(args, peers, fx, replay_source, lines, real_host, hosts, interval, window):
    with tempfile.TemporaryDirectory(prefix="tarn-fleet-") as work:
        config = prometheus_config(work, args.short)
        web, vm_port = fx.free_port(), fx.free_port()
        real = hosts <= args.real_up_to
        replay = (Daemons(fx, hosts, interval, vm_port) if real else
                  Replay(replay_source, real_host, hosts, interval))
        targets_file(work, hosts, replay.port)
        prometheus = start_server(peers, [
            "prometheus", f"--config.file={config}", f"--storage.tsdb.path={work}/prom",
            f"--web.listen-address=127.0.0.1:{web}"], web, "/-/ready")
        victoria = start_server(peers, victoria_args(work, vm_port), vm_port, "/health")
        stores = {"Prometheus": prometheus, "VictoriaMetrics": victoria}
        influxd = None
        if hosts == 50 and not args.short:
            influxd = peers.Influxd()
            influxd.query('CREATE DATABASE "tarn"', db="tarn")
            stores["influxd"] = influxd
        poster = Poster(lines, real_host, 0 if real else hosts, interval,
                        [vm_port] + ([influxd.port] if influxd else []))
        poster.start()
        try:
            def all_up():
                status, answer = get_json(web, "/api/v1/query",
                                          {"query": 'count(up{job="tarn-vm-perfdata"} == 1)'})
                result = answer.get("data", {}).get("result", [])
                return result and int(result[0]["value"][1]) == hosts
            if not bench_util.wait_for(all_up, 60 + 3 * interval, 0.5):
                sys.exit(f"Prometheus does not see all {hosts} targets up")
            time.sleep(2 * interval)
            before = {name: cpu_ticks(s.proc.pid) for name, s in stores.items()}
            appended0 = metric_value(web, "prometheus_tsdb_head_samples_appended_total")
            rows0 = metric_value(vm_port, "vm_rows_inserted_total")
            points0 = influx_points(influxd.port) if influxd else 0
            start = time.time()
            time.sleep(window)
            end = time.time()
            elapsed = end - start
            cpu = {name: (cpu_ticks(s.proc.pid) - before[name]) / HZ / elapsed
                   for name, s in stores.items()}
            rss = {name: bench_util.status_kib(s.proc.pid, "VmRSS") / 1024
                   for name, s in stores.items()}
            rates = {"Prometheus": (metric_value(web, "prometheus_tsdb_head_samples_appended_total")
                                    - appended0) / elapsed,
                     "VictoriaMetrics": (metric_value(vm_port, "vm_rows_inserted_total") - rows0)
                     / elapsed}
            series = {"Prometheus": metric_value(web, "prometheus_tsdb_head_series"),
                      "VictoriaMetrics": get_json(vm_port, "/api/v1/series/count")[1]["data"][0]}
            if influxd:  # counted as fields, like VictoriaMetrics' series and rows
                fields = sum(len(line.split(" ")[1].split(",")) for line in lines) / len(lines)
                answer = influxd.query("SHOW SERIES CARDINALITY", db="tarn")
                own = sum(v[0] for s in answer for v in s["values"])
                series["influxd"] = own * fields
                rates["influxd"] = (influx_points(influxd.port) - points0) / elapsed * fields
            status, answer = get_json(web, "/api/v1/query", {
                "query": f'scrape_duration_seconds{{job="tarn-vm-perfdata"}}[{int(window)}s]',
                "time": end})
            durations = sorted(float(v) for r in answer["data"]["result"] for _, v in r["values"])
            p99 = durations[min(len(durations) - 1, int(0.99 * len(durations)))]
            print(f"\nN = {hosts} hosts x {VMS} VMs (" + ("a real daemon per host" if real else
                  f"replay of one daemon's scrape and lines, POSTs {poster.posts}, "
                  f"{poster.failures} failed") + f"), window {elapsed:.0f} s, {len(durations)} "
                  f"scrapes; load average {os.getloadavg()[0]:.2f}")
            print(f"{'store':<16} {'series':>9} {'samples/s':>10} {'RSS MiB':>8} "
                  f"{'CPU %':>6} {'MiB/10k':>8} {'CPU%/10k':>9}")
            if influxd:
                print(f"(influxd: {own} series of measurement and tags, {fields:.2f} fields each "
                      "on average; counted in fields below)")
            for name in stores:
                per = 10000 / series[name]
                print(f"{name:<16} {series[name]:9.0f} {rates[name]:10.0f} {rss[name]:8.1f} "
                      f"{cpu[name] * 100:6.1f} {rss[name] * per:8.1f} {cpu[name] * 100 * per:9.2f}")
            print(f"scrape_duration_seconds p99 {p99 * 1000:.1f} ms, max "
                  f"{durations[-1] * 1000:.1f} ms (median {statistics.median(durations) * 1000:.1f}"
                  " ms)")
            slowest = prometheus_panels(web, 2 if args.short else 10, end)
            recorded, raw = (timed_median(lambda: get_json(web, "/api/v1/query_range", data={
                "query": query, "start": end - 3600, "end": end, "step": 15})) for query in (
                "site:tarn_vm_bhyve_cpu_vcpu_runtime_seconds:rate5m",
                "sum by (site) (rate(tarn_vm_bhyve_cpu_vcpu_runtime_total[5m]))"))
            print(f"vCPU run time by site over an hour: {recorded * 1000:.0f} ms from the recorded "
                  f"series, {raw * 1000:.0f} ms summed from every VM's")
            print("slowest Prometheus dashboard panels on Prometheus (median of 3): " + "; ".join(
                f"{title} {seconds * 1000:.0f} ms" for seconds, title in slowest[:3]))
            if influxd:
                slowest = influx_panels(influxd.port)
                print("slowest InfluxDB dashboard panels on influxd (median of 3): " + "; ".join(
                    f"{title} {seconds * 1000:.0f} ms" for seconds, title in slowest[:3]))
            return {"hosts": hosts, "series": series, "rss": rss}
        finally:
            poster.stop.set()
            poster.join(60)
            replay.close()
            for server in stores.values():
                server.__exit__(None, None, None)


def main():
    def extra(parser):
        parser.add_argument("--hosts", default=None, help="comma-separated N (default 10,50,200)")
        parser.add_argument("--seconds", type=float, default=None,
                            help="measuring window per N (default 120)")
        parser.add_argument("--real-up-to", type=int, default=10,
                            help="a real daemon per host up to this N, a replay above (10)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    for tool in ("prometheus", "victoria-metrics", "influxd"):
        bench_util.require_tool(tool)
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost
    import test_peers as peers

    counts = [int(n) for n in (args.hosts or ("10" if args.short else "10,50,200")).split(",")]
    interval = 2 if args.short else 10
    window = args.seconds or (8 if args.short else 120)
    print(f"load average (1 min) at the start: {os.getloadavg()[0]:.2f}")
    with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
        bench_util.add_vms(host, 1, VMS)
        port = fx.free_port()
        config = fx.daemon_config(port, interval=interval).replace(
            "[influx]", "self_metrics = true\n[influx]", 1)
        with fx.Daemon(config, ["-i"]) as daemon:
            daemon.start(timeout=30)
            document = bench_util.full_scrape(port, VMS, daemon)
            real_host = re.search(rb'hostname="([^"]+)"', document).group(1).decode()
            print_cardinality(document)
            want = 1 + 4 * VMS
            if not bench_util.wait_for(
                    lambda: len(daemon.log_lines("info", r"^\[influx\] ")) >= want, 60):
                sys.exit(f"no whole feed of lines; log:\n{daemon.log()}")
            lines = [line[9:] for line in daemon.log_lines("info", r"^\[influx\] ")][:want]
            print(f"one feed: {len(lines)} lines, "
                  f"{sum(len(line.split(' ')[1].split(',')) for line in lines)} fields")
            results = [measure_fleet(args, peers, fx, port, lines, real_host, n, interval,
                                     window) for n in counts]
    if len(results) > 1:
        print("\nresident memory against hosts (least squares over the N measured; the figure "
              "for 1,000 hosts is extrapolated):")
        for name in ("Prometheus", "VictoriaMetrics"):
            xs = [r["hosts"] for r in results]
            ys = [r["rss"][name] for r in results]
            slope, intercept = statistics.linear_regression(xs, ys)
            print(f"{name:<16} {intercept:7.1f} MiB + {slope:6.3f} MiB per host; 1,000 hosts: "
                  f"about {intercept + 1000 * slope:,.0f} MiB (extrapolated)")
    print(f"\nload average (1 min) at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
