"""Feed cost per VM: the one-shot scrape against the floor of the commands it has to run.

On the simulated host (tests/sim/simhost.py) with 10, 100 and 300 VMs, times the whole process
`tarn-vm-perfdata --dump-prometheus-metrics -c CONFIG` (start, one feed, render, print) against
the floor: the same commands a feed runs (per VM the three bhyvectl queries and rctl) through
/bin/sh -c one after another in a bare loop (bench/command_floor: spawn, read the output to its
end, blocking wait). Both alternate in one run; medians of wall time, and of the CPU time of the
process and all its children, are compared. A third run per round, "poll floor", is the floor
with the shell reaped the way the daemon's command runner reaps it (waitpid with WNOHANG and
naps from 20 us doubling up to 2 ms between tries), to show how much of the difference that
wait accounts for; "sleeps/cmd" counts those naps per command (the output had ended, the shell
had not yet been reaped). Run as root:

    /usr/bin/python3 bench/feed_cost.py [BUILD_DIR] [--short] [--rounds N]
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402


def floor_commands(host, vm_ids):
    """The commands of one feed, in the order the CPU and memory collector runs them."""
    lines = []
    for vm_id in vm_ids:
        lines += [f"/usr/sbin/bhyvectl --get-all --vm={vm_id}",
                  f"/usr/sbin/bhyvectl --get-vcpu-class --vm={vm_id}",
                  f"/usr/bin/rctl -u process:{host.vm_pids[vm_id]}",
                  f"/usr/sbin/bhyvectl --get-stats --vm={vm_id}"]
    return "".join(line + "\n" for line in lines)


def main():
    def extra(parser):
        parser.add_argument("--rounds", type=int, default=None, help="timed rounds (default 5)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    floor = bench_util.built(args.build_dir, os.path.join("bench", "command_floor"))
    bench_util.enter_namespaces()
    import simhost

    sizes = (2, 5) if args.short else (10, 100, 300)
    rounds = args.rounds if args.rounds is not None else (2 if args.short else 5)
    binary = os.environ["TARN_BINARY"]
    rows = []
    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "tarn-node.conf")
        with open(config, "w") as f:
            f.write("[prometheus]\nmetrics_prefix = tarn_vm\n[influx]\nenabled = false\n")
        with simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
            present = 0
            for size in sizes:
                bench_util.add_vms(host, present + 1, size)
                present = size
                commands = floor_commands(host, range(1, size + 1))
                feed_wall, feed_cpu, floor_wall, floor_cpu, poll_wall, poll_sleeps = (
                    [], [], [], [], [], [])
                for _ in range(rounds):
                    wall, cpu, done = bench_util.timed(
                        [binary, "--dump-prometheus-metrics", "-c", config],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600)
                    vms_seen = done.stdout.count(b"\ntarn_vm_bhyve_cpu_vm_cpus{")
                    if done.returncode != 0 or vms_seen != size:
                        sys.exit(f"dump with {size} VMs: status {done.returncode}, "
                                 f"{vms_seen} VMs in the scrape")
                    feed_wall.append(wall)
                    feed_cpu.append(cpu)
                    for variant in ([floor], [floor, "--poll-wait"]):
                        wall, cpu, done = bench_util.timed(variant, input=commands.encode(),
                                                           stdout=subprocess.PIPE, timeout=600)
                        ran, failed, _, sleeps = (int(x) for x in done.stdout.split())
                        if done.returncode != 0 or ran != 4 * size or failed != 0:
                            sys.exit(f"{variant} with {size} VMs: status {done.returncode}, "
                                     f"{ran} commands, {failed} failed")
                        if len(variant) == 1:
                            floor_wall.append(wall)
                            floor_cpu.append(cpu)
                        else:
                            poll_wall.append(wall)
                            poll_sleeps.append(sleeps / ran)
                rows.append((size, *(bench_util.median(v) for v in
                                     (feed_wall, floor_wall, feed_cpu, floor_cpu, poll_wall,
                                      poll_sleeps))))

    print(f"feed (one-shot dump) against the floor (4 commands per VM through /bin/sh -c), "
          f"medians of {rounds} alternating rounds:")
    print(f"{'VMs':>5} {'feed wall':>10} {'floor wall':>11} {'ratio':>7} {'per VM':>9} "
          f"{'feed cpu':>9} {'floor cpu':>10} {'ratio':>7} {'poll floor':>11} {'feed/poll':>9} "
          f"{'sleeps/cmd':>10}")
    for size, fw, lw, fc, lc, pw, ps in rows:
        print(f"{size:>5} {fw * 1e3:8.1f}ms {lw * 1e3:9.1f}ms {fw / lw:7.2f} "
              f"{fw / size * 1e3:7.2f}ms {fc * 1e3:7.1f}ms {lc * 1e3:8.1f}ms {fc / lc:7.2f} "
              f"{pw * 1e3:9.1f}ms {fw / pw:9.2f} {ps:10.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
