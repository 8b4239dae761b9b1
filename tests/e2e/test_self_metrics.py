"""The daemon's own health families with [prometheus] self_metrics = true: exact where they are
exact (VMs found, one time-out of one tool, tool exit statuses, a 404 scrape), promtool-clean, and
absent without the key. Root only (private namespaces)."""
import os
import re
import subprocess
import time

import fixture as fx
from fixture import simhost
from prometheus_client.parser import text_string_to_metric_families


def samples(port):
    """{(name, sorted labels without hostname): value} of one scrape."""
    return {(s.name, tuple(sorted((k, v) for k, v in s.labels.items() if k != "hostname"))):
            s.value for family in text_string_to_metric_families(
                fx.body(fx.exchange(port)).decode()) for s in family.samples}


def running(arguments):
    """True while a process whose argument vector holds these bytes runs."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if arguments.encode() in f.read():
                    return True
        except OSError:
            pass
    return False


def wait_for(what, timeout):
    deadline = time.monotonic() + timeout * fx.SLACK
    while not (value := what()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return value


def test_health_families():
    with simhost.SimulatedHost() as host:
        host.set_sysctl("kern.hz", 1000)
        host.add_vm(3)
        host.add_vm(8, **simhost.standard_vm_texts(8))
        host.set_tool(8, "rctl", None, status=1)  # fails every feed: VM 8 keeps its other figures
        stats = simhost.standard_vm_texts(3)["stats"]
        host.set_tool(3, "get-stats", stats, delay=60)  # times out once, then answers
        port = fx.free_port()
        config = fx.daemon_config(port).replace("[influx]", "self_metrics = true\n[influx]", 1)
        timeout = ("tarn_vm_exporter_tool_failures_total",
                   (("cause", "timeout"), ("tool", "bhyvectl"), ("vm_id", "3")))
        with fx.Daemon(config).start() as daemon:
            # Once the first slow run has begun, the next ones answer at once.
            assert wait_for(lambda: running("--get-stats\0--vm=3\0"), 10), daemon.log()
            host.set_tool(3, "get-stats", stats)
            assert wait_for(lambda: timeout in samples(port), 15), daemon.log()
            assert fx.exchange(port, b"GET /nope HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 404")
            seen = samples(port)
            feeds = seen[("tarn_vm_exporter_collection_end_timestamp_seconds", ())]
            got = wait_for(lambda: (s := samples(port))[(
                "tarn_vm_exporter_collection_end_timestamp_seconds", ())] >= feeds + 2 and s, 10)
            assert got, daemon.log()
            scrape = fx.body(fx.exchange(port))
        check = subprocess.run(["promtool", "check", "metrics"], input=scrape,
                               capture_output=True, timeout=60)
        assert check.returncode == 0, check.stdout + check.stderr
        assert got[timeout] == 1, got[timeout]
        assert got[("tarn_vm_exporter_vms_found", ())] == 2
        assert got[("tarn_vm_exporter_collection_interval_seconds", ())] == 1
        assert got[("tarn_vm_exporter_connections_evicted_total", ())] == 0
        assert got[("tarn_vm_exporter_scrapes_total", (("code", "404"),))] == 1
        assert got[("tarn_vm_exporter_scrapes_total", (("code", "200"),))] >= 3
        rctl = got[("tarn_vm_exporter_tool_failures_total",
                    (("cause", "exit_status"), ("tool", "rctl"), ("vm_id", "8")))]
        assert rctl >= 3, rctl
        assert abs(got[("tarn_vm_exporter_collection_end_timestamp_seconds", ())]
                   - time.time()) < 10 * fx.SLACK
        assert 0 < got[("tarn_vm_exporter_collection_duration_seconds", ())] < 5 * fx.SLACK
        assert [k for k in got if k[0] == "tarn_vm_exporter_build_info"] == [
            ("tarn_vm_exporter_build_info", (("version", re.search(
                r'version="(\w+)"', scrape.decode()).group(1)),))]
        assert not [k for k in got if "influx" in k[0]], "Influx is off"
        # Without the key the scrape holds none of them.
        with fx.Daemon(fx.daemon_config(port)).start():
            plain = wait_for(lambda: samples(port), 10)
        assert plain and not [k for k in plain if k[0].startswith("tarn_vm_exporter_")], plain


if __name__ == "__main__":
    fx.main([test_health_families])
