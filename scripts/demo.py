"""Demo: a simulated host with four VMs, and the daemon's full one-shot scrape of it."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "sim"))
import simhost  # noqa: E402


def main():
    binary = sys.argv[1]
    serve = "--serve" in sys.argv[2:]
    given = sys.argv[sys.argv.index("-c") + 1] if "-c" in sys.argv[2:-1] else None
    simhost.enter_private_namespaces()
    with tempfile.TemporaryDirectory() as work:
        config = given or os.path.join(work, "tarn-node.conf")
        with open(os.devnull if given else config, "w") as f:
            f.write("[prometheus]\nmetrics_prefix = tarn_vm\nlisten = 127.0.0.1:9273\n"
                    "[influx]\nenabled = false\ninterval = 5\n" if serve else
                    "[prometheus]\nmetrics_prefix = tarn_vm\n[influx]\nenabled = false\n")
        with simhost.SimulatedHost({"kern.hz": 1000,
                                    "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
                                    "hw.vmm.vcpu_limit.class.1.rate_limit": 40,
                                    "hw.vmm.vcpu_limit.class.1.burst_secs": 3}) as host:
            host.add_vm(1)
            host.add_vm(2, **simhost.standard_vm_texts(
                2, cores=4, blocks=[(9, [(1, 2), (3, 4), (0, 0), (100, 500)]),
                                    (10, [(5, 6), (7, 8), (0, 0), (0, 0)], "nvme")]))
            host.add_vm(12, argv=["/usr/sbin/bhyve", "-c", "cpus=4,sockets=1,cores=4,threads=1",
                                  "-m", "4G", "-H", "-P", "12"],
                        **simhost.standard_vm_texts(12, cores=4))
            host.add_vm(7, argv=["/usr/sbin/bhyve", "-c", "2", "-m", "1024M", "-H", "7"])
            if serve:
                # The daemon itself, until Ctrl-C (which reaches it too and ends it with status 0).
                print(f"demo: serving with {config} (by default on http://127.0.0.1:9273/metrics); "
                      "Ctrl-C stops", file=sys.stderr)
                try:
                    proc = subprocess.run([binary, "-c", config])
                except KeyboardInterrupt:
                    return 0
            else:
                proc = subprocess.run([binary, "--dump-prometheus-metrics", "-c", config])
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
