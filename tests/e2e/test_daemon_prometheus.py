"""A real Prometheus server scrapes the running daemon on a simulated host with two VMs.

The test starts Prometheus itself (a temporary storage directory, a written scrape config with a
1-second interval, a free loopback port) and asks its HTTP query API for the series: the target
must be up, and the values Prometheus stored must carry the labels and values worked out below
from the fixtures. Runs as root in private mount and PID namespaces; both servers are stopped in
finally blocks, and the PID namespace ends anything left.
"""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
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

PROMETHEUS = "/usr/bin/prometheus"
JOB = "tarn"
H = socket.gethostname()
TSC = 2000000000
KERN_HZ = 100
DEADLINE = 30  # seconds for Prometheus to come up and store the first full scrape

# Two VMs with hand-picked figures. Expected values in the comments follow the conversion rules:
# vm_cpus = sockets*cores*threads, idle seconds = ticks // kern.hz, runtime = ticks / tsc_freq
# with six decimals, block slot = device - 9, net slot = device - 4, Mbit/s * 125000 = bytes/s.
VM_A, VM_B = 3, 8
PID_OF = {}


def build_host(host):
    host.set_sysctl("kern.hz", KERN_HZ)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", 250)    # 0.25 s
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 40)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", 3)
    PID_OF[VM_A] = host.add_vm(
        VM_A,
        get_all=get_all_text(VM_A, 1, 2, 2, 5000000, 123, maxcpus=32),  # 4 vCPUs
        vcpu_class="vcpu_class=2\n",
        stats=stats_text(5000000000, 4500, 11),                         # 2.500000 s, 45 s idle
        rctl="memoryuse=1024\nvmemoryuse=4096\npcpu=7\n",
        vmc=simhost.vmc_document(42),
        devices=("devices\n"
                 + block_record(10, [(123456, 78), (2000, 20), (0, 0), (40, 300)]) + "\n"
                 + net_record(5, [(3000, 30), (4000, 40), (100, 250), (1, 2)], word="nettap")
                 + "\n" + balloon_record(range(1, 12)) + "\n").encode())
    PID_OF[VM_B] = host.add_vm(
        VM_B,
        get_all=get_all_text(VM_B, 2, 1, 1, 777, 0, maxcpus=32),        # 2 vCPUs
        vcpu_class="vcpu_class=1\n",
        stats=stats_text(3000000000, 250, 0),                           # 1.500000 s, 2 s idle
        rctl="memoryuse=5\nvmemoryuse=6\npcpu=0\n",
        vmc=simhost.vmc_document(7),
        # Padded with NUL bytes as a published segment may be; the filler belongs to no record.
        devices=(block_record(9, [(42, 1), (84, 2), (5, 6), (1000, 0)]) + "\n"
                 + net_record(4, [(10, 1), (20, 2), (3, 0), (0, 0)]) + "\n"
                 + balloon_record([100, 90, 0, 1, 2, 3, 4, 5000, 8000, 6000, 700])
                 + "\n").encode() + b"\0" * 512)


def dev(vm, slot):
    return {"vm_id": str(vm), "slot": str(slot), "hostname": H}


def cpu(vm, vdc, limit_class):
    return {"vm_id": str(vm), "vdc_id": str(vdc), "hostname": H, "limit_class": str(limit_class)}


HOST = {"hostname": H, "limit_class": "1"}
CPU_A, CPU_B = cpu(VM_A, 42, 2), cpu(VM_B, 7, 1)
BLK_A, BLK_B = dev(VM_A, 1), dev(VM_B, 0)
NET_A, NET_B = dev(VM_A, 1), dev(VM_B, 0)
BAL_A, BAL_B = {"vm_id": str(VM_A), "hostname": H}, {"vm_id": str(VM_B), "hostname": H}

# metric name -> [(labels without job and instance, value as Prometheus returns it)]
EXPECTED = {
    "tarn_vm_host_cpu_limit_delay_seconds": [(HOST, "0.25")],
    "tarn_vm_host_cpu_limit_rate_limit": [(HOST, "40")],
    "tarn_vm_host_cpu_limit_burst_seconds": [(HOST, "3")],
    "tarn_vm_host_cpu_limit_hz": [(HOST, "2000000000")],
    "tarn_vm_bhyve_cpu_memoryuse": [(CPU_A, "1024"), (CPU_B, "5")],
    "tarn_vm_bhyve_cpu_vmemoryuse": [(CPU_A, "4096"), (CPU_B, "6")],
    "tarn_vm_bhyve_cpu_pcpu": [(CPU_A, "7"), (CPU_B, "0")],
    "tarn_vm_bhyve_cpu_vm_cpus": [(CPU_A, "4"), (CPU_B, "2")],
    "tarn_vm_bhyve_cpu_idle_ticks_total": [(CPU_A, "45"), (CPU_B, "2")],
    "tarn_vm_bhyve_cpu_limit_sleeps_total": [(CPU_A, "11"), (CPU_B, "0")],
    "tarn_vm_bhyve_cpu_vcpu_runtime_total": [(CPU_A, "2.5"), (CPU_B, "1.5")],
    "tarn_vm_bhyve_cpu_vm_rss": [(CPU_A, "5000000"), (CPU_B, "777")],
    "tarn_vm_bhyve_cpu_vm_wired": [(CPU_A, "123"), (CPU_B, "0")],
    "tarn_vm_virtio_blk_read_bytes_total": [(BLK_A, "123456"), (BLK_B, "42")],
    "tarn_vm_virtio_blk_read_iops_total": [(BLK_A, "78"), (BLK_B, "1")],
    "tarn_vm_virtio_blk_write_bytes_total": [(BLK_A, "2000"), (BLK_B, "84")],
    "tarn_vm_virtio_blk_write_iops_total": [(BLK_A, "20"), (BLK_B, "2")],
    "tarn_vm_virtio_blk_trim_bytes_total": [(BLK_A, "0"), (BLK_B, "5")],
    "tarn_vm_virtio_blk_trim_iops_total": [(BLK_A, "0"), (BLK_B, "6")],
    "tarn_vm_virtio_blk_limit_bytes_per_second": [(BLK_A, "5000000"), (BLK_B, "125000000")],
    "tarn_vm_virtio_blk_limit_iops": [(BLK_A, "300"), (BLK_B, "0")],
    "tarn_vm_virtio_net_tx_bytes_total": [(NET_A, "3000"), (NET_B, "10")],
    "tarn_vm_virtio_net_tx_pps_total": [(NET_A, "30"), (NET_B, "1")],
    "tarn_vm_virtio_net_rx_bytes_total": [(NET_A, "4000"), (NET_B, "20")],
    "tarn_vm_virtio_net_rx_pps_total": [(NET_A, "40"), (NET_B, "2")],
    "tarn_vm_virtio_net_tx_limit_bytes_per_second": [(NET_A, "12500000"), (NET_B, "375000")],
    "tarn_vm_virtio_net_rx_limit_bytes_per_second": [(NET_A, "31250000"), (NET_B, "0")],
    "tarn_vm_virtio_net_tx_drops_total": [(NET_A, "1"), (NET_B, "0")],
    "tarn_vm_virtio_net_rx_drops_total": [(NET_A, "2"), (NET_B, "0")],
    "tarn_vm_virtio_balloon_pages": [(BAL_A, "1"), (BAL_B, "100")],
    "tarn_vm_virtio_balloon_actual": [(BAL_A, "2"), (BAL_B, "90")],
    "tarn_vm_virtio_balloon_errors_total": [(BAL_A, "3"), (BAL_B, "0")],
    "tarn_vm_virtio_balloon_swap_in_total": [(BAL_A, "4"), (BAL_B, "1")],
    "tarn_vm_virtio_balloon_swap_out_total": [(BAL_A, "5"), (BAL_B, "2")],
    "tarn_vm_virtio_balloon_major_faults_total": [(BAL_A, "6"), (BAL_B, "3")],
    "tarn_vm_virtio_balloon_minor_faults_total": [(BAL_A, "7"), (BAL_B, "4")],
    "tarn_vm_virtio_balloon_free_memory": [(BAL_A, "8"), (BAL_B, "5000")],
    "tarn_vm_virtio_balloon_total_memory": [(BAL_A, "9"), (BAL_B, "8000")],
    "tarn_vm_virtio_balloon_avail_memory": [(BAL_A, "10"), (BAL_B, "6000")],
    "tarn_vm_virtio_balloon_disk_caches": [(BAL_A, "11"), (BAL_B, "700")],
}
# Samples per scrape: 4 host fields, 9 CPU fields, 8 block, 8 network and 11 balloon fields per VM.
SAMPLES_PER_SCRAPE = 4 + 2 * (9 + 8 + 8 + 11)


def scrape_config(target):
    return ("global:\n"
            "  scrape_interval: 1s\n"
            "  scrape_timeout: 1s\n"
            "  evaluation_interval: 1s\n"
            "scrape_configs:\n"
            f"  - job_name: {JOB}\n"
            "    static_configs:\n"
            f"      - targets: ['{target}']\n")


class PrometheusServer:
    """Prometheus with a temporary storage directory on a free loopback port."""

    def __init__(self, target):
        self.dir = tempfile.mkdtemp(prefix="tarn-prometheus-")
        self.port = harness.free_port()
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write(scrape_config(target))
        self.log_path = os.path.join(self.dir, "prometheus.log")
        self.args = [PROMETHEUS, f"--config.file={config}",
                     f"--storage.tsdb.path={os.path.join(self.dir, 'data')}",
                     f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn"]
        self.proc = None

    def start(self):
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        return self

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def query(self, expression):
        """The result vector of an instant query, or None while the server cannot answer."""
        if self.proc.poll() is not None:
            raise AssertionError(f"prometheus ended with {self.proc.returncode}:\n{self.log()}")
        # http.client talks to the loopback directly; no proxy settings apply.
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            connection.request("GET", "/api/v1/query?" + urllib.parse.urlencode(
                {"query": expression}))
            answer = connection.getresponse()
            body = answer.read()
        except OSError:
            return None
        finally:
            connection.close()
        if answer.status != 200:
            return None
        document = json.loads(body)
        if document.get("status") != "success" or document["data"]["resultType"] != "vector":
            raise AssertionError(f"unexpected answer to {expression!r}: {document}")
        return document["data"]["result"]


def series(result):
    """(labels, value) pairs of a result vector, sorted by their labels."""
    return sorted(((r["metric"], r["value"][1]) for r in result),
                  key=lambda pair: sorted(pair[0].items()))


class ScrapedByPrometheus(unittest.TestCase):
    def test_series_in_prometheus(self):
        daemon_port = harness.free_port()
        instance = f"127.0.0.1:{daemon_port}"
        work = tempfile.mkdtemp(prefix="tarn-e2e-prom-")
        try:
            with simhost.SimulatedHost(sysctls={"machdep.tsc_freq": TSC}) as host:
                build_host(host)
                with du.Daemon(du.daemon_config(daemon_port, interval=1), directory=work) as daemon:
                    daemon.start()
                    prometheus = PrometheusServer(instance)
                    try:
                        prometheus.start()
                        self.check(prometheus, daemon, host, instance)
                    finally:
                        prometheus.stop()
                    self.assertEqual(daemon.stop(timeout=5), 0, daemon.log())
                    self.assertEqual(daemon.log_lines("info", r"^Exiting$"), ["Exiting"])
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def check(self, prometheus, daemon, host, instance):
        target = {"job": JOB, "instance": instance}
        scraped = f'scrape_samples_scraped{{job="{JOB}"}}'
        # Wait until Prometheus has stored a scrape that held the whole set of one feed.
        if not du.wait_until(lambda: prometheus.query(f"{scraped} == {SAMPLES_PER_SCRAPE}"),
                             DEADLINE, step=0.25):
            self.fail(f"no full scrape within {DEADLINE} s: {prometheus.query(scraped)}\n"
                      f"prometheus log:\n{prometheus.log()}\ndaemon log:\n{daemon.log()}")
        self.assertEqual(series(prometheus.query(f'up{{job="{JOB}"}}')),
                         [(dict(target, __name__="up"), "1")])
        for name, rows in EXPECTED.items():
            with self.subTest(metric=name):
                self.assertEqual(series(prometheus.query(name)), expected_series(name, rows,
                                                                                 target))
        # No series of another name came from the daemon's target.
        names = prometheus.query(f'count by (__name__) ({{job="{JOB}",__name__=~"tarn_vm_.*"}})')
        self.assertEqual(sorted(r["metric"]["__name__"] for r in names), sorted(EXPECTED))

        # A VM that stops is missing from the next feed, so from the next scrape, and Prometheus
        # marks its series stale: queries return only the VM that still runs.
        host.stop_process(PID_OF[VM_B])
        only_a = f"{scraped} == {SAMPLES_PER_SCRAPE - (9 + 8 + 8 + 11)}"
        self.assertTrue(du.wait_until(lambda: prometheus.query(only_a), 10, step=0.25),
                        prometheus.query(scraped))
        for name in ("tarn_vm_virtio_blk_read_bytes_total",
                     "tarn_vm_virtio_blk_limit_bytes_per_second", "tarn_vm_bhyve_cpu_vm_cpus",
                     "tarn_vm_host_cpu_limit_delay_seconds"):
            with self.subTest(after_stop=name):
                rows = [row for row in EXPECTED[name] if row[0].get("vm_id") != str(VM_B)]
                self.assertEqual(series(prometheus.query(name)),
                                 expected_series(name, rows, target))


def expected_series(name, rows, target):
    return series([{"metric": dict(labels, __name__=name, **target), "value": [0, value]}
                   for labels, value in rows])


if __name__ == "__main__":
    harness.require_binary()
    if not os.access(PROMETHEUS, os.X_OK):
        harness.skip(f"{PROMETHEUS} is not installed (scripts/install-deps.sh)")
    simhost.enter_private_namespaces()
    harness.enter_private_mount_namespace()
    unittest.main()
