"""Influx output: posting a 500-VM feed line by line against in batches, and a 20 s server restart.

1. Posting cost. The daemon's lines of one feed of a simulated host with 500 VMs of two disks
   and two NICs each (3,001 lines, taken from its --dump-influx-metrics log) are posted to a
   real influxd 1.x on 127.0.0.1 by bench/influx_posting, which runs the feed loop's posting
   code (InfluxBatcher, InfluxWriter) and nothing else: one POST per line (the default),
   batch_size 5000, and batch_size 5000 with gzip. Each feed gets a fresh timestamp. The modes
   alternate in rounds; per feed it reports the posting's wall and CPU time, influxd's CPU time
   (/proc/PID/stat, over the round's feeds and a 0.5 s settling pause) and the bytes of the
   bodies as sent. Medians over the rounds. Target: influxd CPU and posting wall time per feed
   at most 1/20 of per-line. Also: the resident memory of a buffer filled feed by feed with
   100,000 of these lines.
2. Restart. Two daemons on a simulated host with 20 VMs, interval 2 s, write to one influxd,
   each to its own database: one with no new key (today's behaviour), one with batch_size 5000,
   buffer_limit 100000 and gzip. After 3 feeds influxd is stopped, started again on the same
   data 20 s later, and after 3 more feeds the daemons are stopped. A feed is lost when fewer
   of its lines are stored than the daemon logged. Target: 0 feeds lost with the buffer.

Run as root:

    /usr/bin/python3 bench/influx_output.py [BUILD_DIR] [--short]

--short: 20 VMs, one round of 1 and 3 feeds, a 2 s outage with interval 1 s.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402


def add_vms(host, simhost, vms):
    """VMs with two disks and two NICs each: 1 + 6 per VM lines a feed."""
    for v in range(1, vms + 1):
        texts = simhost.standard_vm_texts(v, blocks=[(9 + d, [(1000 * v, 10 * v), (2000 * v, 20),
                                                             (0, 0), (100, 500)]) for d in (0, 1)],
                                          nets=[(4 + d, [(3000 * v, 30), (4000 * v, 40),
                                                         (100, 200), (1, 2)]) for d in (0, 1)])
        host.add_vm(v, devices=texts["devices"])


def feed_lines(fx, vms):
    """One feed's lines as the daemon logs them with -i (Influx itself off)."""
    daemon = fx.Daemon("[prometheus]\nenabled = false\n[influx]\nenabled = false\n"
                       "interval = 3600\n", ["-i"])
    with daemon:
        daemon.start(timeout=30)
        want = 1 + 6 * vms
        if not bench_util.wait_for(lambda: len(daemon.log_lines("info", r"^\[influx\] ")) >= want,
                                   timeout=60 + vms / 5):
            sys.exit(f"no whole feed of {vms} VMs; log:\n{daemon.log()}")
        return [line[9:] for line in daemon.log_lines("info", r"^\[influx\] ")][:want]


def posting_cost(args, fx, influxd, lines_file, vms):
    helper = bench_util.built(args.build_dir, os.path.join("bench", "influx_posting"))
    modes = [("per line", 1, False, 1 if args.short else 2),
             ("batch_size 5000", 5000, False, 3 if args.short else 10),
             ("batch_size 5000 + gzip", 5000, True, 3 if args.short else 10)]
    rounds = 1 if args.short else 5
    influxd.query('CREATE DATABASE "bench"')
    figures = {name: [] for name, *_ in modes}
    for _ in range(rounds):
        for name, batch, gzip, feeds in modes:
            done = subprocess.run([helper, f"127.0.0.1:{influxd.port}", "bench", lines_file,
                                   str(feeds), str(batch), "1" if gzip else "0",
                                   str(influxd.proc.pid)], capture_output=True, text=True,
                                  timeout=600)
            rows = [list(map(float, line.split())) for line in done.stdout.splitlines()]
            if done.returncode != 0 or len(rows) != feeds or any(row[5] for row in rows):
                sys.exit(f"{name}: status {done.returncode}, {done.stdout}{done.stderr}")
            figures[name].append([statistics.mean(column) for column in zip(*rows)])
    result = {name: [statistics.median(column) for column in zip(*runs)]
              for name, runs in figures.items()}
    print(f"\n1. posting one feed of {vms} VMs ({1 + 6 * vms} lines) to influxd 1.x; medians of "
          f"{rounds} rounds, per feed:")
    print(f"{'mode':<24} {'posts':>6} {'wall':>10} {'CPU':>10} {'influxd CPU':>12} "
          f"{'body bytes':>11} {'wall/line':>9} {'influxd/line':>12}")
    base = result["per line"]
    for name, (wall, cpu, server, bytes_, posts, _) in result.items():
        print(f"{name:<24} {posts:6.0f} {wall * 1e3:8.1f}ms {cpu * 1e3:8.1f}ms "
              f"{server * 1e3:10.1f}ms {bytes_:11.0f} {wall / base[0]:9.3f} "
              f"{server / base[2] if base[2] else float('nan'):12.3f}")
    ok = all(result[n][0] <= base[0] / 20 and result[n][2] <= base[2] / 20
             for n in result if n != "per line")
    print("target (batched: wall and influxd CPU at most 1/20 of per line): "
          + ("met" if ok else "MISSED"))
    done = subprocess.run([helper, "--buffer", lines_file, "100000"], capture_output=True,
                          text=True, timeout=120)
    before, first, feed, after, held = map(int, done.stdout.split())
    size = os.path.getsize(lines_file) / (1 + 6 * vms)
    # Per line: the text on the heap (its length and the NUL, in a malloc chunk of 8 bytes of
    # header rounded up to 16) and the std::string of 32 bytes in the buffer's deque.
    with open(lines_file) as f:
        heap = sum(32 + (len(line.rstrip("\n")) + 1 + 8 + 15) // 16 * 16 for line in f) / feed
    print(f"buffer of {held} lines (about {size:.0f} bytes each): resident memory "
          f"{before / 1024:.1f} MiB -> {after / 1024:.1f} MiB (+{(after - before) / 1024:.1f} MiB)"
          f"; {(after - before) * 1024 / held:.0f} B/line from the first feed, "
          f"{(after - first) * 1024 / (held - feed):.0f} B/line after it; expected from the "
          f"string and its malloc chunk: {heap:.0f} B/line")


def restart(args, fx, simhost, outage_test):
    vms, interval, outage = (5, 1, 2) if args.short else (20, 2, 20)
    print(f"\n2. influxd stopped for {outage} s and started again; {vms} VMs, interval "
          f"{interval} s:")
    cases = [("no new key", {}),
             ("batches + buffer", {"batch_size": 5000, "buffer_limit": 100000,
                                   "gzip": "true"})]
    with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host, outage_test.Influxd() as influxd:
        bench_util.add_vms(host, 1, vms)
        daemons = []
        for index, (_, keys) in enumerate(cases):
            influxd.query(f'CREATE DATABASE "d{index}"')
            daemons.append(fx.Daemon(fx.daemon_config(None, interval=interval, influx={
                "url": f"127.0.0.1:{influxd.port}", "database": f"d{index}", **keys}), ["-i"]))
        try:
            for daemon in daemons:
                daemon.start(timeout=30)

            def feeds(daemon):
                return daemon.log().count("[influx] host_cpu_limit")
            bench_util.wait_for(lambda: all(feeds(d) >= 3 for d in daemons), 60)
            time.sleep(0.5)
            influxd.stop()
            time.sleep(outage)
            influxd.start()
            target = max(feeds(d) for d in daemons) + 3
            bench_util.wait_for(lambda: all(feeds(d) >= target for d in daemons), 60)
            time.sleep(0.5)
            for daemon in daemons:
                daemon.stop(timeout=10)
            for index, ((name, _), daemon) in enumerate(zip(cases, daemons)):
                logged = {}
                for line in outage_test.dumped(daemon):
                    logged.setdefault(int(line.rsplit(" ", 1)[1]), []).append(line)
                stored = {}
                for point in influxd.stored(f"d{index}"):
                    stored[point[3]] = stored.get(point[3], 0) + 1
                lost = [s for s, lines in logged.items() if stored.get(s, 0) < len(lines)]
                print(f"{name:<18} feeds {len(logged):3}, lost {len(lost):3}, lines logged "
                      f"{sum(map(len, logged.values())):5}, stored {sum(stored.values()):5}")
        finally:
            for daemon in daemons:
                daemon.__exit__(None, None, None)


def main():
    args = bench_util.parse_args(__doc__.splitlines()[0])
    bench_util.use_build(args.build_dir)
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost
    import test_influx_output as outage_test

    vms = 20 if args.short else 500
    with tempfile.TemporaryDirectory() as work:
        lines_file = os.path.join(work, "lines")
        with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
            add_vms(host, simhost, vms)
            with open(lines_file, "w") as f:
                f.write("".join(line + "\n" for line in feed_lines(fx, vms)))
        with outage_test.Influxd() as influxd:
            posting_cost(args, fx, influxd, lines_file, vms)
    restart(args, fx, simhost, outage_test)
    print(f"\nload average (1 min) at the end: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
