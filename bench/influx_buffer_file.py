"""Influx buffer file ([influx] buffer_file): its cost, its drain, a long kill -9 loop and a real
influxd outage with a SIGTERM and a SIGKILL inside it.

1. Cost. One feed of a simulated host with 500 VMs (3,001 lines, from the daemon's -i log) is
   handed by bench/influx_posting --spool to a batcher in memory and to one keeping a buffer
   file, in turns, every POST accepted at once (batch_size 5000): the feed's adding, posting and
   settling, and the write ahead alone (one commit: SQLite's fsyncs). Medians over the feeds,
   with the load average; raw fsync of 4 KiB on the same disk; file bytes per line for 100,000
   lines kept.
2. Drain. A file of 100,000 kept lines posted to a real influxd 1.x on 127.0.0.1 in batches of
   5000 as after a start: lines per second, and the file's size full and drained.
3. kill -9. 30 daemons on one file SIGKILLed at random moments against a stand-in that is down
   for the middle third, then a drain: every feed logged before the one in progress at each
   kill is stored, and lines stored twice stay within the batches in flight.
4. Outage. A daemon (20 VMs, interval 2 s, batch_size 5000) posts to influxd; influxd stops
   for 60 s; inside the outage the daemon is stopped by SIGTERM and started again, then killed
   by SIGKILL (after a feed was committed) and started again; once influxd is back and a few
   feeds passed, the points stored are counted against the -i logs of the three runs.

Run as root:

    /usr/bin/python3 bench/influx_buffer_file.py [BUILD_DIR] [--short]

--short: 20 VMs and 3 feeds, 5,000 lines drained, 3 kills, a 6 s outage.
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402
from influx_output import add_vms, feed_lines  # noqa: E402


def fsync_ms(folder, rounds=50):
    path, times = os.path.join(folder, "fsync"), []
    with open(path, "wb") as f:
        for _ in range(rounds):
            f.write(b"\0" * 4096)
            start = time.monotonic()
            os.fsync(f.fileno())
            times.append(time.monotonic() - start)
    os.remove(path)
    return statistics.median(times) * 1e3


def cost(args, helper, lines_file, folder, lines):
    feeds = 3 if args.short else 20
    done = subprocess.run([helper, "--spool", lines_file, str(feeds), f"{folder}/cost.sqlite"],
                          capture_output=True, text=True, timeout=600, check=True)
    rows = [list(map(float, line.split())) for line in done.stdout.splitlines()]
    memory, file, commit = (statistics.median(column) for column in zip(*rows[:-1]))
    held, size = rows[-1]
    print(f"\n1. one feed of {lines} lines, batch_size 5000, every POST accepted at once; medians "
          f"of {feeds} feeds (load average {os.getloadavg()[0]:.2f}):")
    print(f"   in memory {memory * 1e3:.2f} ms, with the file {file * 1e3:.2f} ms (ratio "
          f"{file / memory:.1f}), of which the write ahead {commit * 1e3:.2f} ms; raw fsync of "
          f"4 KiB here {fsync_ms(folder):.2f} ms")
    print(f"   file of {held:.0f} kept lines: {size / 2**20:.1f} MiB, {size / held:.0f} bytes/line")


def drain(args, helper, influxd, lines_file, folder):
    count = 5000 if args.short else 100000
    influxd.query('CREATE DATABASE "drain"')
    done = subprocess.run([helper, "--drain", f"127.0.0.1:{influxd.port}", "drain", lines_file,
                           str(count), f"{folder}/drain.sqlite"], capture_output=True, text=True,
                          timeout=1200, check=True)
    sent, seconds, full, drained = map(float, done.stdout.split())
    print(f"\n2. drain of {count} kept lines to influxd in batches of 5000: {sent:.0f} sent in "
          f"{seconds:.1f} s, {sent / seconds:.0f} lines/s; file {full / 2**20:.1f} MiB full, "
          f"{drained / 2**20:.2f} MiB drained")


def kills(args):
    import test_influx_buffer_file as t
    n = 3 if args.short else 30
    start = time.monotonic()
    logs, stored = t.kill_loop(n, seed=int(time.time()))
    twice = t.check_kills(logs, stored)
    print(f"\n3. {n} SIGKILLs in {time.monotonic() - start:.0f} s: {sum(map(len, logs))} lines "
          f"logged, every committed feed stored, {twice} lines stored twice (bound "
          f"{t.LINES * n})")


def outage(args, fx, simhost, test_peers):
    seconds = 6 if args.short else 60
    import test_influx_buffer_file as t
    folder = tempfile.mkdtemp(prefix="tarn-buffer-")
    with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host, test_peers.Influxd() as influxd:
        bench_util.add_vms(host, 1, 20)
        influxd.query('CREATE DATABASE "outage"')
        config = fx.daemon_config(None, interval=2, influx={
            "url": f"127.0.0.1:{influxd.port}", "database": "outage", "batch_size": 5000,
            "buffer_limit": 100000, "buffer_file": f"{folder}/b.sqlite"})
        logs = []

        def run(until, signum):
            """A daemon until then and its next feed, stopped 0.5 s after that feed was logged
            (its commit is done by then, the next feed 1.5 s away)."""
            with fx.Daemon(config, ["-i"]) as daemon:
                daemon.start(timeout=30)
                time.sleep(max(0, until - time.monotonic()))
                count = daemon.log().count("[influx] host_cpu_limit")
                daemon.wait_log("[influx] host_cpu_limit", 30, count=count + 1)
                time.sleep(0.5)
                daemon.stop(timeout=15, signum=signum)
                logs.append(t.dumped(daemon))
        with fx.Daemon(config, ["-i"]) as first:
            first.start(timeout=30)
            first.wait_log("[influx] host_cpu_limit", 30, count=2)
            influxd.stop()
            stopped = time.monotonic()
            first.stop(timeout=15, signum=signal.SIGTERM)
            logs.append(t.dumped(first))
        run(stopped + seconds / 2, signal.SIGKILL)
        run(stopped + seconds - 3, signal.SIGTERM)
        influxd.start()
        down = time.monotonic() - stopped
        run(time.monotonic() + 6, signal.SIGTERM)
        sent = test_peers.points([line for log in logs for line in log])
        bench_util.wait_for(lambda: influxd.stored("outage") >= sent, 30)
        stored = influxd.stored("outage")
        print(f"\n4. influxd down {down:.0f} s, the daemon stopped by SIGTERM and killed by "
              f"SIGKILL inside the outage: {len(sent)} points logged with -i, {len(stored)} "
              f"stored, {len(sent - stored)} missing, {len(stored - sent)} not logged")


def main():
    args = bench_util.parse_args(__doc__.splitlines()[0])
    bench_util.use_build(args.build_dir)
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost
    import test_peers

    helper = bench_util.built(args.build_dir, os.path.join("bench", "influx_posting"))
    vms = 20 if args.short else 500
    # The files on the build's disk, not a tmpfs: the fsyncs are the point.
    with tempfile.TemporaryDirectory(dir=args.build_dir) as work:
        lines_file = os.path.join(work, "lines")
        with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
            add_vms(host, simhost, vms)
            with open(lines_file, "w") as f:
                f.write("".join(line + "\n" for line in feed_lines(fx, vms)))
        cost(args, helper, lines_file, work, 1 + 6 * vms)
        with test_peers.Influxd() as influxd:
            drain(args, helper, influxd, lines_file, work)
    kills(args)
    outage(args, fx, simhost, test_peers)
    print(f"\nload average (1 min) at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
