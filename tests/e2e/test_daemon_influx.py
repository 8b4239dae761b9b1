"""The running daemon writes to a real InfluxDB 1.x server, on a simulated host with two VMs.

The test starts influxd itself: a written config with every listener on a free loopback port,
its meta, data and WAL directories in a temporary directory, no usage reporting and no other
service. It creates the database through /query, runs the daemon with a 1-second interval, and
reads back through /query (epoch=ns) what arrived: every measurement with its tags, its field
values exactly as the collectors formatted them (no prefix, no unit conversion, no "_total"),
and one nanosecond timestamp per feed close to now. Further cases: authentication with wrong
credentials or missing rights (HTTP errors logged, password never logged, the daemon keeps
collecting and serving scrapes), right credentials, and a server that stops or never listened
(the libcurl error logged once a feed with the count of lines it skipped, the daemon keeps
running and serving scrapes, and writes again once the server is back).

Runs as root in private mount and PID namespaces; influxd and the daemon are stopped in finally
blocks or context exits, and the PID namespace ends anything left. Traffic only to 127.0.0.1.
"""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))
import daemon_util as du  # noqa: E402
import harness  # noqa: E402
import simhost  # noqa: E402
from simhost import balloon_record, block_record, net_record  # noqa: E402
from simhost import get_all_text, stats_text  # noqa: E402

INFLUXD = "/usr/bin/influxd"
DATABASE = "tarn_e2e"
H = socket.gethostname()
TSC = 3000000000
KERN_HZ = 200
FEEDS = 3           # complete feeds the main test waits for
PING_TIMEOUT = 15   # seconds for influxd to answer /ping
DATA_TIMEOUT = 15   # seconds for the wanted number of feeds to arrive

# Two VMs with hand-picked figures. The Influx lines carry the collectors' texts unchanged:
# vm_cpus = sockets*cores*threads, idle_ticks = ticks // kern.hz, vcpu_runtime = ticks / tsc_freq
# with six decimals, block slot = device - 9, net slot = device - 4, the limits in Mbit/s and
# delay_ms in milliseconds as published.
VM_A, VM_B = 5, 9


def build_host(host):
    host.set_sysctl("kern.hz", KERN_HZ)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", 125)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 60)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", 4)
    host.add_vm(
        VM_A,
        get_all=get_all_text(VM_A, 2, 2, 1, 6000000, 4096),             # 4 vCPUs
        vcpu_class="vcpu_class=3\n",
        stats=stats_text(4500000000, 9000, 17),                         # 1.500000 s, 45 s idle
        rctl="memoryuse=2048\nvmemoryuse=8192\npcpu=12\n",
        vmc=simhost.vmc_document(51),
        devices=("devices of vm 5\n"
                 + block_record(11, [(65536, 16), (131072, 32), (512, 1), (40, 250)]) + "\n"
                 + net_record(6, [(7000, 70), (8000, 80), (300, 150), (3, 4)], word="nettap")
                 + "\n" + balloon_record(range(21, 32)) + "\nend\n").encode())
    host.add_vm(
        VM_B,
        get_all=get_all_text(VM_B, 1, 1, 2, 1234567, 0),                # 2 vCPUs
        vcpu_class="vcpu_class=1\n",
        stats=stats_text(750000000, 410, 0),                            # 0.250000 s, 2 s idle
        rctl="memoryuse=77\nvmemoryuse=88\npcpu=3\n",
        vmc=simhost.vmc_document(90),
        # Records in another order than the result's, and NUL filler after them.
        devices=(balloon_record([512, 480, 0, 1, 2, 3, 4, 100000, 200000, 150000, 9000]) + "\n"
                 + net_record(4, [(10, 1), (20, 2), (0, 1000), (0, 0)]) + "\n"
                 + block_record(9, [(1, 2), (3, 4), (5, 6), (1000, 0)])
                 + "\n").encode() + b"\0" * 256)


def dev(vm, slot):
    return {"vm_id": str(vm), "slot": str(slot), "hostname": H}


# measurement -> [(tags, {field: value as InfluxDB returns the line's text})]. Without a type
# suffix every field value is a float in InfluxDB; JSON gives whole floats as integers.
EXPECTED = {
    "host_cpu_limit": [
        ({"hostname": H, "limit_class": "1"},
         {"delay_ms": 125, "rate_limit": 60, "burst_secs": 4, "hz": 3000000000}),
    ],
    "bhyve_cpu": [
        ({"vm_id": "5", "vdc_id": "51", "hostname": H, "limit_class": "3"},
         {"memoryuse": 2048, "vmemoryuse": 8192, "pcpu": 12, "vm_cpus": 4, "idle_ticks": 45,
          "limit_sleeps": 17, "vcpu_runtime": 1.5, "vm_rss": 6000000, "vm_wired": 4096}),
        ({"vm_id": "9", "vdc_id": "90", "hostname": H, "limit_class": "1"},
         {"memoryuse": 77, "vmemoryuse": 88, "pcpu": 3, "vm_cpus": 2, "idle_ticks": 2,
          "limit_sleeps": 0, "vcpu_runtime": 0.25, "vm_rss": 1234567, "vm_wired": 0}),
    ],
    "virtio_blk": [
        (dev(VM_A, 2),
         {"read_bytes": 65536, "read_iops": 16, "write_bytes": 131072, "write_iops": 32,
          "trim_bytes": 512, "trim_iops": 1, "limit_mbps": 40, "limit_iops": 250}),
        (dev(VM_B, 0),
         {"read_bytes": 1, "read_iops": 2, "write_bytes": 3, "write_iops": 4,
          "trim_bytes": 5, "trim_iops": 6, "limit_mbps": 1000, "limit_iops": 0}),
    ],
    "virtio_net": [
        (dev(VM_A, 2),
         {"tx_bytes": 7000, "tx_pps": 70, "rx_bytes": 8000, "rx_pps": 80,
          "tx_limit_mbps": 300, "rx_limit_mbps": 150, "tx_drops": 3, "rx_drops": 4}),
        (dev(VM_B, 0),
         {"tx_bytes": 10, "tx_pps": 1, "rx_bytes": 20, "rx_pps": 2,
          "tx_limit_mbps": 0, "rx_limit_mbps": 1000, "tx_drops": 0, "rx_drops": 0}),
    ],
    "virtio_balloon": [
        ({"vm_id": "5", "hostname": H},
         {"pages": 21, "actual": 22, "errors": 23, "swap_in": 24, "swap_out": 25,
          "major_faults": 26, "minor_faults": 27, "free_memory": 28, "total_memory": 29,
          "avail_memory": 30, "disk_caches": 31}),
        ({"vm_id": "9", "hostname": H},
         {"pages": 512, "actual": 480, "errors": 0, "swap_in": 1, "swap_out": 2,
          "major_faults": 3, "minor_faults": 4, "free_memory": 100000, "total_memory": 200000,
          "avail_memory": 150000, "disk_caches": 9000}),
    ],
}
LINES_PER_FEED = sum(len(rows) for rows in EXPECTED.values())  # 1 + 2 + 2 * 3 = 9
ADMIN, ADMIN_PASSWORD = "root", "Adm1n-pw-5c2e"
WRITER, WRITER_PASSWORD = "tarnwriter", "Wr1ter-pw-a7d9"
READER, READER_PASSWORD = "tarnreader", "Re4der-pw-31bf"


class InfluxServer:
    """influxd on free loopback ports with everything it keeps in a temporary directory."""

    def __init__(self, auth=False):
        self.dir = tempfile.mkdtemp(prefix="tarn-influxd-")
        self.port = harness.free_port()
        self.rpc_port = harness.free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.auth = None  # (user, password) for /query once an admin exists
        self.config_path = os.path.join(self.dir, "influxdb.conf")
        with open(self.config_path, "w") as f:
            f.write(self.config_text(auth))
        self.log_path = os.path.join(self.dir, "influxd.log")
        self.proc = None

    def config_text(self, auth):
        d = self.dir
        # Both spellings of the usage-report switch, as builds differ; the unknown one is ignored.
        return (f"reporting-disabled = true\n"
                f"reporting-enabled = false\n"
                f'bind-address = "127.0.0.1:{self.rpc_port}"\n'
                "[meta]\n"
                f'  dir = "{d}/meta"\n'
                "  logging-enabled = false\n"
                "[data]\n"
                f'  dir = "{d}/data"\n'
                f'  wal-dir = "{d}/wal"\n'
                "  query-log-enabled = false\n"
                "[monitor]\n  store-enabled = false\n"
                "[subscriber]\n  enabled = false\n"
                "[retention]\n  enabled = false\n"
                "[shard-precreation]\n  enabled = false\n"
                "[continuous_queries]\n  enabled = false\n"
                "[ifql]\n  enabled = false\n"
                "[http]\n"
                "  enabled = true\n"
                f'  bind-address = "{self.address}"\n'
                f"  auth-enabled = {'true' if auth else 'false'}\n"
                "  log-enabled = true\n"
                "  pprof-enabled = false\n")

    def start(self):
        log = open(self.log_path, "ab")
        try:
            self.proc = subprocess.Popen([INFLUXD, "run", "-config", self.config_path],
                                         stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        finally:
            log.close()
        if not du.wait_until(self.ping, PING_TIMEOUT, step=0.1):
            raise AssertionError(f"influxd did not answer /ping in {PING_TIMEOUT} s:\n{self.log()}")
        return self

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def halt(self):
        """Stops the server and keeps its directory, so that it can start again."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def stop(self):
        self.halt()
        shutil.rmtree(self.dir, ignore_errors=True)

    def ping(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"influxd ended with {self.proc.returncode}:\n{self.log()}")
        try:
            status, _ = self.request("GET", "/ping", None)
        except OSError:
            return False
        return status == 204

    def request(self, method, path, form):
        # http.client talks to the loopback directly; no proxy settings apply.
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            body = urllib.parse.urlencode(form) if form is not None else None
            headers = {"Content-Type": "application/x-www-form-urlencoded"} if body else {}
            connection.request(method, path, body=body, headers=headers)
            answer = connection.getresponse()
            return answer.status, answer.read()
        finally:
            connection.close()

    def query(self, statement, db=None, auth="admin"):
        """The first result of one statement; fails on any error. auth None: no credentials."""
        form = {"q": statement, "epoch": "ns"}
        if db:
            form["db"] = db
        path = "/query"
        if auth == "admin" and self.auth:
            # The server takes credentials from the URL's query, not from the form body.
            path += "?" + urllib.parse.urlencode({"u": self.auth[0], "p": self.auth[1]})
        status, body = self.request("POST", path, form)
        if status != 200:
            raise AssertionError(f"{statement!r}: HTTP {status} {body!r}")
        result = json.loads(body)["results"][0]
        if "error" in result:
            raise AssertionError(f"{statement!r}: {result['error']}")
        return result

    def series(self, measurement):
        """{tags as a sorted tuple: {timestamp: {field: value}}} of one measurement."""
        result = self.query(f'SELECT * FROM "{measurement}" GROUP BY *', db=DATABASE)
        found = {}
        for serie in result.get("series", []):
            if serie["name"] != measurement:
                raise AssertionError(f"series of {serie['name']} in {measurement}")
            columns = serie["columns"]
            rows = {}
            for values in serie["values"]:
                row = dict(zip(columns, values))
                stamp = row.pop("time")
                rows[stamp] = {k: v for k, v in row.items() if v is not None}
            found[tuple(sorted(serie.get("tags", {}).items()))] = rows
        return found

    def timestamps(self, measurement="host_cpu_limit"):
        timestamps = set()
        for rows in self.series(measurement).values():
            timestamps.update(rows)
        return sorted(timestamps)


def tags_key(tags):
    return tuple(sorted(tags.items()))


def daemon_config(influx, prometheus_port=None, interval=1):
    """[influx] enabled with the given keys; [prometheus] on 127.0.0.1:port, or off."""
    lines = ["[prometheus]"]
    if prometheus_port is None:
        lines.append("enabled = false")
    else:
        lines += ["enabled = true", f"listen = 127.0.0.1:{prometheus_port}"]
    lines += ["[influx]", "enabled = true", f"interval = {interval}"]
    lines += [f"{key} = {value}" for key, value in influx.items()]
    return "\n".join(lines) + "\n"


def influx_keys(url, user="", password=""):
    return {"url": url, "database": DATABASE, "user": user, "password": password}


def scrape(port):
    return du.exchange(port, timeout=5)


# The host sample as the scrape shows it while Influx posts fail: delay_ms 125 becomes 0.125 s.
SCRAPED_HOST_LINE = (f'tarn_vm_host_cpu_limit_delay_seconds{{hostname="{du.escape_label(H)}",'
                     'limit_class="1"} 0.125\n').encode()


class InfluxTestCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tarn-e2e-influx-")
        self.host = simhost.SimulatedHost(sysctls={"machdep.tsc_freq": TSC})
        self.host.__enter__()
        try:
            build_host(self.host)
        except BaseException:
            self.host.__exit__(None, None, None)
            raise

    def tearDown(self):
        self.host.__exit__(None, None, None)
        shutil.rmtree(self.work, ignore_errors=True)

    def daemon(self, config):
        return du.Daemon(config, directory=self.work)

    def assert_running(self, daemon, why):
        self.assertTrue(daemon.running(), f"daemon ended ({why}):\n{daemon.log()}")

    def assert_orderly_stop(self, daemon):
        self.assertEqual(daemon.stop(timeout=10), 0, daemon.log())
        self.assertEqual(daemon.log_lines("info", r"^Exiting$"), ["Exiting"])

    def wait_feeds(self, influx, count, since_ns=0):
        """Waits until count feeds newer than since_ns have stored their host sample."""
        return du.wait_until(
            lambda: len([t for t in influx.timestamps() if t > since_ns]) >= count,
            DATA_TIMEOUT, step=0.2)


class DataArrives(InfluxTestCase):
    def test_every_measurement_with_tags_fields_and_timestamps(self):
        influx = InfluxServer()
        try:
            influx.start()
            influx.query(f'CREATE DATABASE "{DATABASE}"', auth=None)
            # Influx only: the store and the scrape server stay out of this run.
            with self.daemon(daemon_config(influx_keys(influx.address))) as daemon:
                before_ns = time.time_ns()
                daemon.start()
                # One more than wanted: the newest feed may still be posting.
                arrived = self.wait_feeds(influx, FEEDS + 1)
                self.assert_running(daemon, "while posting")
                self.assertTrue(arrived, f"fewer than {FEEDS + 1} feeds in {DATA_TIMEOUT} s: "
                                f"{influx.timestamps()}\n{daemon.log()}\n{influx.log()}")
                self.check_data(influx, before_ns)
                self.assertEqual(daemon.log_lines("error", "Influx"), [], daemon.log())
                self.assert_orderly_stop(daemon)
        finally:
            influx.stop()

    def check_data(self, influx, before_ns):
        after_ns = time.time_ns()
        stamps = influx.timestamps()
        complete = stamps[:-1]  # every host line but the newest has its whole feed behind it
        self.assertGreaterEqual(len(complete), FEEDS)
        for t in stamps:
            with self.subTest(timestamp=t):
                # Nanoseconds since the epoch at microsecond resolution, taken during this run.
                self.assertEqual(t % 1000, 0)
                self.assertGreaterEqual(t, before_ns - 1000000)
                self.assertLessEqual(t, after_ns)
        for earlier, later in zip(stamps, stamps[1:]):
            # One feed per second, start to start; each feed's lines share one timestamp.
            self.assertGreater(later - earlier, 500000000, stamps)
            self.assertLess(later - earlier, 5000000000, stamps)

        measurements = influx.query("SHOW MEASUREMENTS", db=DATABASE)["series"][0]["values"]
        self.assertEqual(sorted(m[0] for m in measurements), sorted(EXPECTED))
        # Field names as the collectors gave them, and no type suffix: every value a float.
        keys = {s["name"]: sorted(map(tuple, s["values"]))
                for s in influx.query("SHOW FIELD KEYS", db=DATABASE)["series"]}
        for measurement, rows in EXPECTED.items():
            with self.subTest(field_keys=measurement):
                self.assertEqual(keys[measurement],
                                 sorted((name, "float") for name in rows[0][1]))

        for measurement, rows in EXPECTED.items():
            found = influx.series(measurement)
            with self.subTest(measurement=measurement):
                self.assertEqual(sorted(found), sorted(tags_key(tags) for tags, _ in rows))
            for tags, fields in rows:
                got = found.get(tags_key(tags), {})
                with self.subTest(measurement=measurement, tags=tags):
                    # A line of this series in every complete feed, none outside the feeds.
                    self.assertTrue(set(complete) <= set(got), (complete, sorted(got)))
                    self.assertTrue(set(got) <= set(stamps), (stamps, sorted(got)))
                    for t in got:
                        self.assertEqual(got[t], fields, t)
                        for name, value in got[t].items():
                            self.assertEqual(type(value), type(fields[name]), name)


class Authentication(InfluxTestCase):
    def test_credentials(self):
        influx = InfluxServer(auth=True)
        try:
            influx.start()
            # With authentication on, only the first admin may be created without credentials.
            influx.query(f"CREATE USER {ADMIN} WITH PASSWORD '{ADMIN_PASSWORD}' "
                         "WITH ALL PRIVILEGES", auth=None)
            influx.auth = (ADMIN, ADMIN_PASSWORD)
            for statement in (f'CREATE DATABASE "{DATABASE}"',
                              f"CREATE USER {WRITER} WITH PASSWORD '{WRITER_PASSWORD}'",
                              f'GRANT WRITE ON "{DATABASE}" TO {WRITER}',
                              f"CREATE USER {READER} WITH PASSWORD '{READER_PASSWORD}'",
                              f'GRANT READ ON "{DATABASE}" TO {READER}'):
                influx.query(statement)
            self.refused(influx)
            self.accepted(influx)
        finally:
            influx.stop()

    def refused(self, influx):
        cases = (  # (case, user, password, expected status)
            ("wrong password", WRITER, "Wr0ng-pw-e61d", 401),
            ("unknown user", "nobody", WRITER_PASSWORD, 401),
            ("no credentials", "", "", 401),
            ("read rights only", READER, READER_PASSWORD, 403),
        )
        for case, user, password, status in cases:
            with self.subTest(case=case):
                port = harness.free_port()
                keys = influx_keys(influx.address, user, password)
                with self.daemon(daemon_config(keys, prometheus_port=port)) as daemon:
                    daemon.start()
                    # Two feeds' worth of errors: the daemon went on after the first feed.
                    self.assertTrue(daemon.wait_log("Influx HTTP error: ", timeout=15,
                                                    count=LINES_PER_FEED + 1), daemon.log())
                    self.assert_running(daemon, case)
                    self.assertEqual(scrape(port)[:17], b"HTTP/1.1 200 OK\r\n")
                    self.assertIn(SCRAPED_HOST_LINE, scrape(port))
                    errors = daemon.log_lines("error", r"^Influx ")
                    self.assertGreater(len(errors), LINES_PER_FEED)
                    self.assertEqual(set(errors), {f"Influx HTTP error: {status}"})
                    self.assert_orderly_stop(daemon)
                    for text in (daemon.log(), daemon.stderr_text()):
                        for secret in {password, WRITER_PASSWORD, READER_PASSWORD} - {""}:
                            self.assertNotIn(secret, text)
        self.assertEqual(influx.timestamps(), [], "a refused write stored data")

    def accepted(self, influx):
        with self.subTest(case="right credentials"):
            keys = influx_keys(influx.address, WRITER, WRITER_PASSWORD)
            with self.daemon(daemon_config(keys)) as daemon:
                daemon.start()
                self.assertTrue(self.wait_feeds(influx, 2), f"{daemon.log()}\n{influx.log()}")
                complete = influx.timestamps()[:-1]
                for measurement, rows in EXPECTED.items():
                    found = influx.series(measurement)
                    for tags, fields in rows:
                        got = found.get(tags_key(tags), {})
                        with self.subTest(measurement=measurement, tags=tags):
                            self.assertTrue(complete and set(complete) <= set(got))
                            self.assertEqual(got[complete[0]], fields)
                self.assertEqual(daemon.log_lines("error", "Influx"), [], daemon.log())
                self.assert_orderly_stop(daemon)
                self.assertNotIn(WRITER_PASSWORD, daemon.log())


# The libcurl text of a refused connection to a loopback port.
REFUSED = "Influx POST failed: Couldn't connect to server"
SKIPPED = re.compile(r"^Influx unreachable; skipped (\d+) lines of this feed$")
POST_FAILED = re.compile(r"^Influx POST failed: \S.*$")
# influxd may answer 500 to a write that arrives while it shuts down: an answer, so only that
# line is lost and posting goes on.
SHUTDOWN_ANSWER = re.compile(r"^Influx HTTP error: 5\d\d$")


class ServerUnreachable(InfluxTestCase):
    def check_failing(self, daemon, port):
        """Waits for two more feeds of failed posts; the daemon must go on and serve scrapes."""
        seen = len(daemon.log_lines("error", SKIPPED.pattern))
        self.assertTrue(daemon.wait_log("Influx unreachable; ", timeout=15, count=seen + 2),
                        daemon.log())
        self.assert_running(daemon, "posts failing")
        answer = scrape(port)
        self.assertEqual(answer[:17], b"HTTP/1.1 200 OK\r\n")
        self.assertIn(SCRAPED_HOST_LINE, answer)
        failed = daemon.log_lines("error", r"^Influx ")
        # A post without an answer ends the posting of its feed, the rest is counted.
        for i, message in enumerate(failed):
            skipped = SKIPPED.match(message)
            if skipped:
                self.assertRegex(failed[i - 1], POST_FAILED)
            elif not SHUTDOWN_ANSWER.match(message):
                self.assertRegex(message, POST_FAILED)
            if skipped:
                self.assertLess(int(skipped.group(1)), LINES_PER_FEED)
        # Once nothing listens any more, the first post of a feed is refused at connect.
        self.assertEqual(failed[-4:], [REFUSED, f"Influx unreachable; skipped "
                                       f"{LINES_PER_FEED - 1} lines of this feed"] * 2, failed)
        return len(failed)

    def test_nothing_listens(self):
        port = harness.free_port()
        keys = influx_keys(f"127.0.0.1:{harness.free_port()}")
        with self.daemon(daemon_config(keys, prometheus_port=port)) as daemon:
            daemon.start()
            self.check_failing(daemon, port)
            self.assertEqual(set(daemon.log_lines("error", r"^Influx ")), {
                REFUSED, f"Influx unreachable; skipped {LINES_PER_FEED - 1} lines of this feed"})
            self.assert_orderly_stop(daemon)

    def test_server_stops_and_returns(self):
        influx = InfluxServer()
        try:
            influx.start()
            influx.query(f'CREATE DATABASE "{DATABASE}"', auth=None)
            port = harness.free_port()
            with self.daemon(daemon_config(influx_keys(influx.address),
                                           prometheus_port=port)) as daemon:
                daemon.start()
                self.assertTrue(self.wait_feeds(influx, 1), f"{daemon.log()}\n{influx.log()}")
                self.assertEqual(daemon.log_lines("error", "Influx"), [], daemon.log())
                influx.halt()
                seen = self.check_failing(daemon, port)
                # Back on the same port with the same data: the following feeds are stored again.
                restarted_ns = time.time_ns()
                influx.start()
                self.assertTrue(self.wait_feeds(influx, 2, since_ns=restarted_ns),
                                f"{influx.timestamps()}\n{daemon.log()}\n{influx.log()}")
                self.assert_running(daemon, "after the server returned")
                newest = influx.series("virtio_net")
                for tags, fields in EXPECTED["virtio_net"]:
                    rows = newest[tags_key(tags)]
                    self.assertTrue([t for t in rows if t > restarted_ns], tags)
                    self.assertEqual(rows[max(rows)], fields)
                # No post fails any more once the server is back.
                failed = len(daemon.log_lines("error", r"^Influx "))
                self.assertGreaterEqual(failed, seen)
                self.assertTrue(self.wait_feeds(influx, 3, since_ns=restarted_ns), daemon.log())
                self.assertEqual(len(daemon.log_lines("error", r"^Influx ")), failed)
                self.assert_orderly_stop(daemon)
        finally:
            influx.stop()


if __name__ == "__main__":
    harness.require_binary()
    if not os.access(INFLUXD, os.X_OK):
        harness.skip(f"{INFLUXD} is not installed (scripts/install-deps.sh)")
    simhost.enter_private_namespaces()
    harness.enter_private_mount_namespace()
    unittest.main()
