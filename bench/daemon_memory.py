"""Memory: peak and steady resident set of the running daemon with 0, 100 and 500 VMs.

For each size a fresh daemon runs on the simulated host (tests/sim/simhost.py) with a 1 s
interval, so feeds follow one another; after its first full scrape it is left for a few more
feeds while it is scraped now and then (a feed longer than the interval is counted by the line it
logs, one that fits by the interval's seconds). Then VmHWM (peak) and VmRSS (steady: the median
of the readings taken after each of those feeds) are read from /proc/PID/status. Run as root:

    /usr/bin/python3 bench/daemon_memory.py [BUILD_DIR] [--short] [--feeds N]
"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402


def main():
    def extra(parser):
        parser.add_argument("--feeds", type=int, default=None,
                            help="feeds after the first full scrape (default 3)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost

    sizes = (0, 10) if args.short else (0, 100, 500)
    feeds = args.feeds if args.feeds is not None else (2 if args.short else 3)
    rows = []
    with tempfile.TemporaryDirectory() as work, \
            simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
        present = 0
        for size in sizes:
            bench_util.add_vms(host, present + 1, size)
            present = max(present, size)
            port = fx.free_port()
            with fx.Daemon(fx.daemon_config(port, interval=1), directory=work) as daemon:
                daemon.start(timeout=30)
                pid = daemon.proc.pid

                def full_scrape():
                    status, body = bench_util.http_get(port)
                    if status != 200 or not body:
                        return None
                    return body.count(b"\ntarn_vm_bhyve_cpu_vm_cpus{") == size and len(body)
                size_bytes = bench_util.wait_for(full_scrape, timeout=60 + size)
                if not size_bytes:
                    sys.exit(f"the daemon never served {size} VMs; log:\n{daemon.log()}")
                # A feed that overruns the interval logs one line when it ends; one that fits
                # takes the whole interval and logs nothing. Which of the two this size is shows
                # in the first feed, whose line follows its store update within moments.
                def overruns():
                    return len(daemon.log_lines("info", r"^Feed took \d+ us; overrun"))
                overrunning = bool(bench_util.wait_for(overruns, timeout=2.0))
                baseline = overruns()
                start = time.monotonic()
                readings = []
                seen = 0
                while True:
                    time.sleep(0.5)
                    if not full_scrape():
                        sys.exit(f"scrape with {size} VMs failed; log:\n{daemon.log()}")
                    elapsed = time.monotonic() - start
                    done = overruns() - baseline if overrunning else int(elapsed)
                    if done > seen:
                        seen = done
                        readings.append(bench_util.status_kib(pid, "VmRSS"))
                    if seen >= feeds:
                        break
                    if elapsed > 60 + 10 * size:
                        sys.exit(f"no {feeds} feeds with {size} VMs; log:\n{daemon.log()}")
                peak = bench_util.status_kib(pid, "VmHWM")
                steady = bench_util.median(readings)
                if daemon.stop(timeout=15) != 0:
                    sys.exit(f"the daemon did not stop cleanly; log:\n{daemon.log()}")
                rows.append((size, size_bytes, peak, steady, elapsed, overrunning))

    print(f"daemon resident set after the first full scrape and {feeds} more feeds (1 s interval, "
          f"scraped every 0.5 s):")
    print(f"{'VMs':>5} {'document':>10} {'peak VmHWM':>11} {'steady VmRSS':>13} "
          f"{'each feed':>10} {'those feeds took':>17}")
    for size, size_bytes, peak, steady, seconds, overrunning in rows:
        print(f"{size:>5} {size_bytes / 1024:8.0f}KiB {peak / 1024:9.1f}MiB "
              f"{steady / 1024:11.1f}MiB {'overran' if overrunning else 'fit in 1 s':>10} "
              f"{seconds:15.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
