"""Scrapes among slow readers: slowhttptest's slow-read attack against the running daemon's
GET /metrics of about 1 MB, with one good scrape a second beside it.

The daemon runs on a simulated host with 360 VMs (tests/sim/simhost.py) and a long interval, so
its first feed fills the store and the document stays the same. slowhttptest (Debian package
slowhttptest) opens 50 connections a second, up to 3,000, each asking for the scrape with a
receive window of 10 to 20 bytes and reading 32 bytes every 5 seconds, for 60 seconds; meanwhile
one good scrape a second (a fresh connection, the whole document) counts how many are answered
within 1 s and within 10 s, and the kernel's TCP memory (/proc/net/sockstat) is sampled. Everything
runs on 127.0.0.1. Run as root:

    /usr/bin/python3 bench/slow_readers.py [BUILD_DIR] [--short] [--vms N] [--seconds S]
"""
import os
import re
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402


def tcp_memory():
    """(pages of TCP memory, orphaned sockets) from /proc/net/sockstat."""
    with open("/proc/net/sockstat") as f:
        line = next(line for line in f if line.startswith("TCP:"))
    return (int(re.search(r" mem (\d+)", line).group(1)),
            int(re.search(r" orphan (\d+)", line).group(1)))


def main():
    def extra(parser):
        parser.add_argument("--vms", type=int, default=None, help="VMs (default 360)")
        parser.add_argument("--seconds", type=int, default=None, help="attack (default 60)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    attacker = bench_util.require_tool("slowhttptest")
    bench_util.enter_namespaces()

    vms = args.vms if args.vms is not None else (20 if args.short else 360)
    seconds = args.seconds if args.seconds is not None else (6 if args.short else 60)
    with bench_util.scraped_daemon(vms) as (work, port, daemon, document):

        peak = [0, 0]
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.5):
                pages, orphans = tcp_memory()
                peak[0], peak[1] = max(peak[0], pages), max(peak[1], orphans)
        sampler = threading.Thread(target=sample)
        sampler.start()
        load_before = os.getloadavg()[0]
        attack = subprocess.Popen(
            [attacker, "-X", "-c", str(50 * seconds), "-r", "50", "-l", str(seconds),
             "-p", "5", "-w", "10", "-y", "20", "-n", "5", "-z", "32", "-k", "1",
             "-u", f"http://127.0.0.1:{port}/metrics"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            cwd=work)
        times = []
        try:
            start = time.monotonic()
            while time.monotonic() < start + seconds and attack.poll() is None:
                began = time.monotonic()
                try:
                    status, body = bench_util.http_get(port, timeout=10)
                    ok = status == 200 and body == document
                except OSError:
                    ok = False
                times.append(time.monotonic() - began if ok else None)
                time.sleep(max(0.0, began + 1 - time.monotonic()))
        finally:
            attack.terminate()
            try:
                attack.wait(timeout=30)
            except subprocess.TimeoutExpired:
                attack.kill()
                attack.wait()
            sampling.set()
            sampler.join()
        load_after = os.getloadavg()[0]
        if not daemon.running():
            sys.exit(f"the daemon ended during the attack; log:\n{daemon.log()}")

    within = lambda limit: sum(1 for t in times if t is not None and t <= limit)  # noqa: E731
    answered = sorted(t for t in times if t is not None)
    print(f"slowhttptest -X -r 50 -l {seconds} against GET /metrics of {vms} VMs "
          f"({len(document)} bytes), one good scrape a second:")
    print(f"  good scrapes answered within 1 s: {within(1.0)} of {len(times)}; within 10 s: "
          f"{within(10.0)}")
    if answered:
        print(f"  answer time of those answered: median {bench_util.median(answered):.3f} s, "
              f"longest {answered[-1]:.3f} s")
    print(f"  kernel TCP memory at most {peak[0] * 4096 / 2**20:.0f} MiB, orphaned sockets at most "
          f"{peak[1]}")
    print(f"  load average (1 min) {load_before:.2f} -> {load_after:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
