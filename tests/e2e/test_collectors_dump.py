"""The whole one-shot scrape (--dump-prometheus-metrics) on a simulated bhyve host.

Each case builds a host (processes, tool outputs, shared-memory objects, kernel settings) and
compares the complete stdout line by line with a scrape written out by hand; every dump must also
pass promtool. Runs as root in private mount and PID namespaces.
"""
import os
import re
import socket
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))
import harness  # noqa: E402
import simhost  # noqa: E402
from simhost import balloon_record, block_record, net_record, standard_vm_texts  # noqa: E402

H = socket.gethostname()
TSC = 2000000000  # the simulated host's default machdep.tsc_freq

# (exposed name without prefix, type, help) per measurement, in field order.
HOST_FAMILIES = [
    ("host_cpu_limit_delay_seconds", "gauge", "host_cpu_limit delay_ms (gauge)"),
    ("host_cpu_limit_rate_limit", "gauge", "host_cpu_limit rate_limit (gauge)"),
    ("host_cpu_limit_burst_seconds", "gauge", "host_cpu_limit burst_secs (gauge)"),
    ("host_cpu_limit_hz", "gauge", "host_cpu_limit hz (gauge)"),
]
CPU_FAMILIES = [
    ("bhyve_cpu_memoryuse", "gauge", "bhyve_cpu memoryuse (gauge)"),
    ("bhyve_cpu_vmemoryuse", "gauge", "bhyve_cpu vmemoryuse (gauge)"),
    ("bhyve_cpu_pcpu", "gauge", "bhyve_cpu pcpu (gauge)"),
    ("bhyve_cpu_vm_cpus", "gauge", "bhyve_cpu vm_cpus (gauge)"),
    ("bhyve_cpu_idle_ticks_total", "counter", "bhyve_cpu idle_ticks (counter)"),
    ("bhyve_cpu_limit_sleeps_total", "counter", "bhyve_cpu limit_sleeps (counter)"),
    ("bhyve_cpu_vcpu_runtime_total", "counter", "bhyve_cpu vcpu_runtime (counter)"),
    ("bhyve_cpu_vm_rss", "gauge", "bhyve_cpu vm_rss (gauge)"),
    ("bhyve_cpu_vm_wired", "gauge", "bhyve_cpu vm_wired (gauge)"),
]
BLK_FAMILIES = [
    ("virtio_blk_read_bytes_total", "counter", "virtio_blk read_bytes (counter)"),
    ("virtio_blk_read_iops_total", "counter", "virtio_blk read_iops (counter)"),
    ("virtio_blk_write_bytes_total", "counter", "virtio_blk write_bytes (counter)"),
    ("virtio_blk_write_iops_total", "counter", "virtio_blk write_iops (counter)"),
    ("virtio_blk_trim_bytes_total", "counter", "virtio_blk trim_bytes (counter)"),
    ("virtio_blk_trim_iops_total", "counter", "virtio_blk trim_iops (counter)"),
    ("virtio_blk_limit_bytes_per_second", "gauge", "virtio_blk limit_mbps (gauge)"),
    ("virtio_blk_limit_iops", "gauge", "virtio_blk limit_iops (gauge)"),
]
NET_FAMILIES = [
    ("virtio_net_tx_bytes_total", "counter", "virtio_net tx_bytes (counter)"),
    ("virtio_net_tx_pps_total", "counter", "virtio_net tx_pps (counter)"),
    ("virtio_net_rx_bytes_total", "counter", "virtio_net rx_bytes (counter)"),
    ("virtio_net_rx_pps_total", "counter", "virtio_net rx_pps (counter)"),
    ("virtio_net_tx_limit_bytes_per_second", "gauge", "virtio_net tx_limit_mbps (gauge)"),
    ("virtio_net_rx_limit_bytes_per_second", "gauge", "virtio_net rx_limit_mbps (gauge)"),
    ("virtio_net_tx_drops_total", "counter", "virtio_net tx_drops (counter)"),
    ("virtio_net_rx_drops_total", "counter", "virtio_net rx_drops (counter)"),
]
BALLOON_FAMILIES = [
    ("virtio_balloon_pages", "gauge", "virtio_balloon pages (gauge)"),
    ("virtio_balloon_actual", "gauge", "virtio_balloon actual (gauge)"),
    ("virtio_balloon_errors_total", "counter", "virtio_balloon errors (counter)"),
    ("virtio_balloon_swap_in_total", "counter", "virtio_balloon swap_in (counter)"),
    ("virtio_balloon_swap_out_total", "counter", "virtio_balloon swap_out (counter)"),
    ("virtio_balloon_major_faults_total", "counter", "virtio_balloon major_faults (counter)"),
    ("virtio_balloon_minor_faults_total", "counter", "virtio_balloon minor_faults (counter)"),
    ("virtio_balloon_free_memory", "gauge", "virtio_balloon free_memory (gauge)"),
    ("virtio_balloon_total_memory", "gauge", "virtio_balloon total_memory (gauge)"),
    ("virtio_balloon_avail_memory", "gauge", "virtio_balloon avail_memory (gauge)"),
    ("virtio_balloon_disk_caches", "gauge", "virtio_balloon disk_caches (gauge)"),
]


def families(table, rows):
    """HELP, TYPE and one line per row for each family; rows = [(label text, [values])]."""
    text = ""
    for i, (name, kind, help_text) in enumerate(table if rows else []):
        text += f"# HELP tarn_vm_{name} {help_text}\n# TYPE tarn_vm_{name} {kind}\n"
        for labels, values in rows:
            text += f"tarn_vm_{name}{{{labels}}} {values[i]}\n"
    return text


def scrape(host=("0", "0", "0", str(TSC)), cpu=(), blk=(), net=(), balloon=()):
    return (families(HOST_FAMILIES, [(f'hostname="{H}",limit_class="1"', host)])
            + families(CPU_FAMILIES, cpu) + families(BLK_FAMILIES, blk)
            + families(NET_FAMILIES, net) + families(BALLOON_FAMILIES, balloon))


def cpu_labels(vm, vdc, limit_class=1):
    return f'vm_id="{vm}",vdc_id="{vdc}",hostname="{H}",limit_class="{limit_class}"'


def dev_labels(vm, slot):
    return f'vm_id="{vm}",slot="{slot}",hostname="{H}"'


# Expected rows of a VM built from standard_vm_texts(v) defaults, with kern.hz 1000 and
# tsc_freq 2000000000: idle 3000v ticks are 3v seconds, runtime v*10^9 ticks are v/2 seconds,
# limits 100 and 200 Mbit/s are 12500000 and 25000000 bytes per second.
def std_cpu(v, vcpus="2", rctl=None, stats=None, limit_class=1):
    rctl = rctl or [str(100 * v), str(200 * v), str(v)]
    stats = stats or [str(3 * v), str(7 * v), f"{v // 2}.{'5' if v % 2 else '0'}00000"]
    return (cpu_labels(v, v + 100, limit_class),
            rctl + [vcpus] + stats + [str(v * 1000000 + 1), str(v * 1000)])


def std_blk(v):
    return (dev_labels(v, 0), [str(1000 * v), str(10 * v), str(2000 * v), str(20 * v), "0", "0",
                               "12500000", "500"])


def std_net(v):
    return (dev_labels(v, 0), [str(3000 * v), str(30 * v), str(4000 * v), str(40 * v),
                               "12500000", "25000000", "1", "2"])


def std_balloon(v):
    return (f'vm_id="{v}",hostname="{H}"', [str(v + k) for k in range(11)])


# -- cases: each builds the host and returns the expected scrape --------------------------------

def case_no_vms(host):
    # Only the host sample; unset limit settings give 0, hz carries the TSC frequency.
    return scrape()


def case_one_vm_written_out(host):
    host.set_sysctl("kern.hz", 100)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", 250)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 40)
    host.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", 3)
    host.add_vm(3)
    return f"""\
# HELP tarn_vm_host_cpu_limit_delay_seconds host_cpu_limit delay_ms (gauge)
# TYPE tarn_vm_host_cpu_limit_delay_seconds gauge
tarn_vm_host_cpu_limit_delay_seconds{{hostname="{H}",limit_class="1"}} 0.25
# HELP tarn_vm_host_cpu_limit_rate_limit host_cpu_limit rate_limit (gauge)
# TYPE tarn_vm_host_cpu_limit_rate_limit gauge
tarn_vm_host_cpu_limit_rate_limit{{hostname="{H}",limit_class="1"}} 40
# HELP tarn_vm_host_cpu_limit_burst_seconds host_cpu_limit burst_secs (gauge)
# TYPE tarn_vm_host_cpu_limit_burst_seconds gauge
tarn_vm_host_cpu_limit_burst_seconds{{hostname="{H}",limit_class="1"}} 3
# HELP tarn_vm_host_cpu_limit_hz host_cpu_limit hz (gauge)
# TYPE tarn_vm_host_cpu_limit_hz gauge
tarn_vm_host_cpu_limit_hz{{hostname="{H}",limit_class="1"}} 2000000000
# HELP tarn_vm_bhyve_cpu_memoryuse bhyve_cpu memoryuse (gauge)
# TYPE tarn_vm_bhyve_cpu_memoryuse gauge
tarn_vm_bhyve_cpu_memoryuse{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 300
# HELP tarn_vm_bhyve_cpu_vmemoryuse bhyve_cpu vmemoryuse (gauge)
# TYPE tarn_vm_bhyve_cpu_vmemoryuse gauge
tarn_vm_bhyve_cpu_vmemoryuse{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 600
# HELP tarn_vm_bhyve_cpu_pcpu bhyve_cpu pcpu (gauge)
# TYPE tarn_vm_bhyve_cpu_pcpu gauge
tarn_vm_bhyve_cpu_pcpu{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 3
# HELP tarn_vm_bhyve_cpu_vm_cpus bhyve_cpu vm_cpus (gauge)
# TYPE tarn_vm_bhyve_cpu_vm_cpus gauge
tarn_vm_bhyve_cpu_vm_cpus{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 2
# HELP tarn_vm_bhyve_cpu_idle_ticks_total bhyve_cpu idle_ticks (counter)
# TYPE tarn_vm_bhyve_cpu_idle_ticks_total counter
tarn_vm_bhyve_cpu_idle_ticks_total{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 90
# HELP tarn_vm_bhyve_cpu_limit_sleeps_total bhyve_cpu limit_sleeps (counter)
# TYPE tarn_vm_bhyve_cpu_limit_sleeps_total counter
tarn_vm_bhyve_cpu_limit_sleeps_total{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 21
# HELP tarn_vm_bhyve_cpu_vcpu_runtime_total bhyve_cpu vcpu_runtime (counter)
# TYPE tarn_vm_bhyve_cpu_vcpu_runtime_total counter
tarn_vm_bhyve_cpu_vcpu_runtime_total{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 1.500000
# HELP tarn_vm_bhyve_cpu_vm_rss bhyve_cpu vm_rss (gauge)
# TYPE tarn_vm_bhyve_cpu_vm_rss gauge
tarn_vm_bhyve_cpu_vm_rss{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 3000001
# HELP tarn_vm_bhyve_cpu_vm_wired bhyve_cpu vm_wired (gauge)
# TYPE tarn_vm_bhyve_cpu_vm_wired gauge
tarn_vm_bhyve_cpu_vm_wired{{vm_id="3",vdc_id="103",hostname="{H}",limit_class="1"}} 3000
# HELP tarn_vm_virtio_blk_read_bytes_total virtio_blk read_bytes (counter)
# TYPE tarn_vm_virtio_blk_read_bytes_total counter
tarn_vm_virtio_blk_read_bytes_total{{vm_id="3",slot="0",hostname="{H}"}} 3000
# HELP tarn_vm_virtio_blk_read_iops_total virtio_blk read_iops (counter)
# TYPE tarn_vm_virtio_blk_read_iops_total counter
tarn_vm_virtio_blk_read_iops_total{{vm_id="3",slot="0",hostname="{H}"}} 30
# HELP tarn_vm_virtio_blk_write_bytes_total virtio_blk write_bytes (counter)
# TYPE tarn_vm_virtio_blk_write_bytes_total counter
tarn_vm_virtio_blk_write_bytes_total{{vm_id="3",slot="0",hostname="{H}"}} 6000
# HELP tarn_vm_virtio_blk_write_iops_total virtio_blk write_iops (counter)
# TYPE tarn_vm_virtio_blk_write_iops_total counter
tarn_vm_virtio_blk_write_iops_total{{vm_id="3",slot="0",hostname="{H}"}} 60
# HELP tarn_vm_virtio_blk_trim_bytes_total virtio_blk trim_bytes (counter)
# TYPE tarn_vm_virtio_blk_trim_bytes_total counter
tarn_vm_virtio_blk_trim_bytes_total{{vm_id="3",slot="0",hostname="{H}"}} 0
# HELP tarn_vm_virtio_blk_trim_iops_total virtio_blk trim_iops (counter)
# TYPE tarn_vm_virtio_blk_trim_iops_total counter
tarn_vm_virtio_blk_trim_iops_total{{vm_id="3",slot="0",hostname="{H}"}} 0
# HELP tarn_vm_virtio_blk_limit_bytes_per_second virtio_blk limit_mbps (gauge)
# TYPE tarn_vm_virtio_blk_limit_bytes_per_second gauge
tarn_vm_virtio_blk_limit_bytes_per_second{{vm_id="3",slot="0",hostname="{H}"}} 12500000
# HELP tarn_vm_virtio_blk_limit_iops virtio_blk limit_iops (gauge)
# TYPE tarn_vm_virtio_blk_limit_iops gauge
tarn_vm_virtio_blk_limit_iops{{vm_id="3",slot="0",hostname="{H}"}} 500
# HELP tarn_vm_virtio_net_tx_bytes_total virtio_net tx_bytes (counter)
# TYPE tarn_vm_virtio_net_tx_bytes_total counter
tarn_vm_virtio_net_tx_bytes_total{{vm_id="3",slot="0",hostname="{H}"}} 9000
# HELP tarn_vm_virtio_net_tx_pps_total virtio_net tx_pps (counter)
# TYPE tarn_vm_virtio_net_tx_pps_total counter
tarn_vm_virtio_net_tx_pps_total{{vm_id="3",slot="0",hostname="{H}"}} 90
# HELP tarn_vm_virtio_net_rx_bytes_total virtio_net rx_bytes (counter)
# TYPE tarn_vm_virtio_net_rx_bytes_total counter
tarn_vm_virtio_net_rx_bytes_total{{vm_id="3",slot="0",hostname="{H}"}} 12000
# HELP tarn_vm_virtio_net_rx_pps_total virtio_net rx_pps (counter)
# TYPE tarn_vm_virtio_net_rx_pps_total counter
tarn_vm_virtio_net_rx_pps_total{{vm_id="3",slot="0",hostname="{H}"}} 120
# HELP tarn_vm_virtio_net_tx_limit_bytes_per_second virtio_net tx_limit_mbps (gauge)
# TYPE tarn_vm_virtio_net_tx_limit_bytes_per_second gauge
tarn_vm_virtio_net_tx_limit_bytes_per_second{{vm_id="3",slot="0",hostname="{H}"}} 12500000
# HELP tarn_vm_virtio_net_rx_limit_bytes_per_second virtio_net rx_limit_mbps (gauge)
# TYPE tarn_vm_virtio_net_rx_limit_bytes_per_second gauge
tarn_vm_virtio_net_rx_limit_bytes_per_second{{vm_id="3",slot="0",hostname="{H}"}} 25000000
# HELP tarn_vm_virtio_net_tx_drops_total virtio_net tx_drops (counter)
# TYPE tarn_vm_virtio_net_tx_drops_total counter
tarn_vm_virtio_net_tx_drops_total{{vm_id="3",slot="0",hostname="{H}"}} 1
# HELP tarn_vm_virtio_net_rx_drops_total virtio_net rx_drops (counter)
# TYPE tarn_vm_virtio_net_rx_drops_total counter
tarn_vm_virtio_net_rx_drops_total{{vm_id="3",slot="0",hostname="{H}"}} 2
# HELP tarn_vm_virtio_balloon_pages virtio_balloon pages (gauge)
# TYPE tarn_vm_virtio_balloon_pages gauge
tarn_vm_virtio_balloon_pages{{vm_id="3",hostname="{H}"}} 3
# HELP tarn_vm_virtio_balloon_actual virtio_balloon actual (gauge)
# TYPE tarn_vm_virtio_balloon_actual gauge
tarn_vm_virtio_balloon_actual{{vm_id="3",hostname="{H}"}} 4
# HELP tarn_vm_virtio_balloon_errors_total virtio_balloon errors (counter)
# TYPE tarn_vm_virtio_balloon_errors_total counter
tarn_vm_virtio_balloon_errors_total{{vm_id="3",hostname="{H}"}} 5
# HELP tarn_vm_virtio_balloon_swap_in_total virtio_balloon swap_in (counter)
# TYPE tarn_vm_virtio_balloon_swap_in_total counter
tarn_vm_virtio_balloon_swap_in_total{{vm_id="3",hostname="{H}"}} 6
# HELP tarn_vm_virtio_balloon_swap_out_total virtio_balloon swap_out (counter)
# TYPE tarn_vm_virtio_balloon_swap_out_total counter
tarn_vm_virtio_balloon_swap_out_total{{vm_id="3",hostname="{H}"}} 7
# HELP tarn_vm_virtio_balloon_major_faults_total virtio_balloon major_faults (counter)
# TYPE tarn_vm_virtio_balloon_major_faults_total counter
tarn_vm_virtio_balloon_major_faults_total{{vm_id="3",hostname="{H}"}} 8
# HELP tarn_vm_virtio_balloon_minor_faults_total virtio_balloon minor_faults (counter)
# TYPE tarn_vm_virtio_balloon_minor_faults_total counter
tarn_vm_virtio_balloon_minor_faults_total{{vm_id="3",hostname="{H}"}} 9
# HELP tarn_vm_virtio_balloon_free_memory virtio_balloon free_memory (gauge)
# TYPE tarn_vm_virtio_balloon_free_memory gauge
tarn_vm_virtio_balloon_free_memory{{vm_id="3",hostname="{H}"}} 10
# HELP tarn_vm_virtio_balloon_total_memory virtio_balloon total_memory (gauge)
# TYPE tarn_vm_virtio_balloon_total_memory gauge
tarn_vm_virtio_balloon_total_memory{{vm_id="3",hostname="{H}"}} 11
# HELP tarn_vm_virtio_balloon_avail_memory virtio_balloon avail_memory (gauge)
# TYPE tarn_vm_virtio_balloon_avail_memory gauge
tarn_vm_virtio_balloon_avail_memory{{vm_id="3",hostname="{H}"}} 12
# HELP tarn_vm_virtio_balloon_disk_caches virtio_balloon disk_caches (gauge)
# TYPE tarn_vm_virtio_balloon_disk_caches gauge
tarn_vm_virtio_balloon_disk_caches{{vm_id="3",hostname="{H}"}} 13
"""


def case_several_vms_argv_forms_and_segments(host):
    # Process-table order 1, 12, 7; 12 (R2 form) has no devices segment; 7 (R3 form) has its
    # records interleaved, an nvme disk, a net word with letters and NUL padding.
    host.add_vm(1)
    host.add_vm(12, argv=["/usr/sbin/bhyve", "-c", "cpus=4,sockets=1,cores=4,threads=1", "-m",
                          "4G", "-H", "-P", "12"], devices=None,
                **{k: v for k, v in standard_vm_texts(12, cores=4).items() if k == "get_all"})
    text = "\n".join([
        balloon_record(range(21, 32)),
        net_record(5, [(1, 2), (3, 4), (5, 6), (7, 8)], word="nettap"),
        block_record(10, [(11, 12), (13, 14), (15, 16), (2, 30)], model="nvme"),
        net_record(4, [(21, 22), (23, 24), (1, 0), (27, 28)]),
        block_record(3, [(31, 32), (33, 34), (35, 36), (0, 40)]),
    ]).encode() + b"\0" * 4000
    host.add_vm(7, argv=["/usr/sbin/bhyve", "-c", "2", "-m", "1024M", "-H", "7"], devices=text)
    return scrape(
        cpu=[std_cpu(1), std_cpu(12, vcpus="4"), std_cpu(7)],
        blk=[std_blk(1),
             (dev_labels(7, 1), ["11", "12", "13", "14", "15", "16", "250000", "30"]),
             (dev_labels(7, -6), ["31", "32", "33", "34", "35", "36", "0", "40"])],
        net=[std_net(1),
             (dev_labels(7, 1), ["1", "2", "3", "4", "625000", "750000", "7", "8"]),
             (dev_labels(7, 0), ["21", "22", "23", "24", "125000", "0", "27", "28"])],
        balloon=[std_balloon(1), (f'vm_id="7",hostname="{H}"', [str(v) for v in range(21, 32)])])


def case_cpu_skip_rules(host):
    host.set_sysctl("kern.hz", 1000)
    no_dev = {"devices": None}
    host.add_vm(1)
    host.add_vm(2, get_all="Resident memory    5\nWired memory       6\n", **no_dev)
    host.add_vm(3, get_all=standard_vm_texts(3, threads=0)["get_all"], **no_dev)
    host.add_vm(4, vcpu_class="class=1\nvcpu_class=1\n", **no_dev)
    host.add_vm(5, vcpu_class=None, **no_dev)
    host.add_vm(6, vmc=None)  # no VDC number, but its devices still count
    host.add_vm(7, vmc=b'{"item": "{\\"vdc\\": 7,}"}', **no_dev)
    host.add_vm(8, vmc=b'{"item": {"vdc": 8}}', **no_dev)
    host.add_vm(9, vmc=b'{"item": "{}"}\0\0\0', **no_dev)
    host.add_vm(10, vcpu_class="vcpu_class=123\n", rctl="memoryuse=1\n", rctl_status=1, **no_dev)
    host.add_vm(11, stats=None, get_all="cpu_topology: sockets=2, cores=3, threads=2, maxcpus=64\n",
                **no_dev)
    return scrape(
        cpu=[std_cpu(1),
             std_cpu(10, rctl=["0", "0", "0"], limit_class=12),
             (cpu_labels(11, 111), ["1100", "2200", "11", "12", "0", "0", "0.000000", "0", "0"])],
        blk=[std_blk(1), std_blk(6)], net=[std_net(1), std_net(6)],
        balloon=[std_balloon(1), std_balloon(6)])


def case_duplicate_vm_numbers(host):
    host.add_vm(5, rctl="memoryuse=111\nvmemoryuse=222\npcpu=3\n")
    host.add_vm(5, rctl="memoryuse=999\nvmemoryuse=999\npcpu=9\n")
    return scrape(cpu=[std_cpu(5, rctl=["111", "222", "3"])], blk=[std_blk(5)],
                  net=[std_net(5)], balloon=[std_balloon(5)])


def case_near_misses_yield_nothing(host):
    host.start_process(["bhyve: 20"], comm="bhyvectl")
    host.start_process(["bhyve:", "web01"])
    host.start_process(["bhyve:", "21 "])
    host.start_process(["bhyve", "-c", "2", "-m", "1024M", "22"])
    host.start_process(["bhyve -c cpus=2,sockets=1,cores=2,threads=1 -m 1G 23"])
    for vm in (20, 21, 22, 23):
        texts = standard_vm_texts(vm)
        for tool, key in (("get-all", "get_all"), ("get-vcpu-class", "vcpu_class"),
                          ("get-stats", "stats")):
            host.set_tool_output(vm, tool, texts[key])
        host.write_shm(f"/vmc.vm.{vm}", texts["vmc"])
        host.write_shm(f"/bhyve.vm.{vm}.devices", texts["devices"])
    return scrape()


CASES = [case_no_vms, case_one_vm_written_out, case_several_vms_argv_forms_and_segments,
         case_cpu_skip_rules, case_duplicate_vm_numbers, case_near_misses_yield_nothing]

JSON_ERROR = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[error\] \[cpu\] JSON parse error for vmc\.vm\.%d: "


class FullDump(unittest.TestCase):
    maxDiff = None

    def run_case(self, build):
        with tempfile.TemporaryDirectory() as work:
            config = harness.write_config("[influx]\nenabled = false\n", work)
            with simhost.SimulatedHost() as host:
                expected = build(host)
                proc = harness.run_daemon(["-p", "-c", config, "--log-file",
                                           os.path.join(work, "tarn.log")])
        out = proc.stdout.decode(errors="replace")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(out.split("\n"), expected.split("\n"))
        ok, report = harness.promtool_check(proc.stdout)
        self.assertTrue(ok, report)
        return proc.stderr.decode(errors="replace")

    def test_cases(self):
        for build in CASES:
            with self.subTest(case=build.__name__):
                stderr = self.run_case(build)
                if build is case_cpu_skip_rules:
                    # Malformed text and an "item" that is no string are logged; an empty
                    # inner object is skipped silently.
                    for vm in (7, 8):
                        self.assertRegex(stderr, re.compile(JSON_ERROR % vm, re.M))
                    self.assertNotIn("vmc.vm.9", stderr)
                    self.assertNotIn("vmc.vm.6", stderr)


if __name__ == "__main__":
    harness.require_binary()
    simhost.enter_private_namespaces()
    harness.enter_private_mount_namespace()
    unittest.main()
