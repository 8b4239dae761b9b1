"""Rendering ratio: our render_prometheus against python3-prometheus-client's generate_latest.

Both render the same sample set (bench/sample_set.h: per VM one bhyve_cpu, two virtio_blk, two
virtio_net and one virtio_balloon sample). The Python side gets an equivalent registry: one custom
collector that yields, on every collect, the same families with the same HELP texts, label names,
label values and values, built from data it holds (values already parsed as floats, since that
library takes numbers). The two renders alternate in one run; each is timed around the render
call only (thread CPU time and wall time), and the medians are compared.

    /usr/bin/python3 bench/render_vs_python.py [BUILD_DIR] [--short] [--vms N] [--rounds N]
"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402

LINE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(?:,|$)')


def parse_document(text):
    """Our document as [(name, kind, help, label names, [(label values, float value)])]."""
    families = []
    helps = {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name, _, help_text = line[7:].partition(" ")
            helps[name] = help_text
        elif line.startswith("# TYPE "):
            name, _, kind = line[7:].partition(" ")
            families.append([name, kind, helps[name], None, []])
        else:
            m = LINE.match(line)
            if not m or not families or m.group(1) != families[-1][0]:
                raise ValueError(f"unexpected line {line!r}")
            pairs = LABEL.findall(m.group(2) or "")
            names = tuple(n for n, _ in pairs)
            family = families[-1]
            if family[3] is None:
                family[3] = names
            elif family[3] != names:
                raise ValueError(f"label names differ inside {family[0]}")
            family[4].append((tuple(v for _, v in pairs), float(m.group(3))))
    return families


class StoreCollector:
    """Yields the families on every collect, as a custom collector over a store would."""

    def __init__(self, families):
        self.families = families

    def collect(self):
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
        for name, kind, help_text, label_names, lines in self.families:
            if kind == "counter":
                # The library appends "_total" to a counter family's name itself.
                family = CounterMetricFamily(name[:-len("_total")], help_text, labels=label_names)
            else:
                family = GaugeMetricFamily(name, help_text, labels=label_names)
            for values, value in lines:
                family.add_metric(values, value)
            yield family


def series(text):
    """The document's sample lines as sorted (name, sorted labels, value); label order aside."""
    found = []
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = LINE.match(line)
        if not m:
            raise ValueError(f"unexpected line {line!r}")
        found.append((m.group(1), tuple(sorted(LABEL.findall(m.group(2) or ""))),
                      float(m.group(3))))
    return sorted(found)


def main():
    def extra(parser):
        parser.add_argument("--vms", type=int, default=None, help="VMs in the store (default 500)")
        parser.add_argument("--rounds", type=int, default=None, help="timed rounds (default 30)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    vms = args.vms if args.vms is not None else (50 if args.short else 500)
    rounds = args.rounds if args.rounds is not None else (10 if args.short else 30)
    timing = bench_util.built(args.build_dir, os.path.join("bench", "render_timing"))
    try:
        from prometheus_client import CollectorRegistry, generate_latest
    except ImportError:
        sys.exit("python3-prometheus-client is not installed")

    ours = subprocess.run([timing, str(vms), "--print"], check=True, stdout=subprocess.PIPE).stdout
    families = parse_document(ours.decode())
    registry = CollectorRegistry(auto_describe=False)
    registry.register(StoreCollector(families))
    theirs = generate_latest(registry)
    # Equivalent registries: the same families, the same series with the same values (that
    # library writes labels sorted by name and values as floats).
    our_lines = series(ours.decode())
    if our_lines != series(theirs.decode()):
        sys.exit("the two documents do not hold the same series")
    their_families = [l for l in theirs.decode().splitlines() if l.startswith("# TYPE ")]
    if len(their_families) != len(families):
        sys.exit("the two documents do not hold the same families")

    ours_cpu, ours_wall, py_cpu, py_wall = [], [], [], []
    with subprocess.Popen([timing, str(vms)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          text=True, bufsize=1) as proc:
        try:
            for i in range(rounds + 2):  # the first two rounds warm both up and are not counted
                proc.stdin.write("render\n")
                proc.stdin.flush()
                cpu, wall, size = proc.stdout.readline().split()
                if int(size) != len(ours):
                    sys.exit("render_timing rendered another document")
                c0, w0 = time.thread_time(), time.perf_counter()
                document = generate_latest(registry)
                w1, c1 = time.perf_counter(), time.thread_time()
                if len(document) != len(theirs):
                    sys.exit("generate_latest rendered another document")
                if i >= 2:
                    ours_cpu.append(float(cpu))
                    ours_wall.append(float(wall))
                    py_cpu.append(c1 - c0)
                    py_wall.append(w1 - w0)
        finally:
            proc.stdin.close()
            proc.wait(timeout=30)

    med = bench_util.median
    print(f"render of {vms} VMs ({len(our_lines)} sample lines, {len(families)} families), "
          f"{rounds} alternating rounds, medians:")
    print(f"  render_prometheus : {med(ours_cpu) * 1e3:9.2f} ms cpu {med(ours_wall) * 1e3:9.2f} ms "
          f"wall  {len(ours)} bytes")
    print(f"  generate_latest   : {med(py_cpu) * 1e3:9.2f} ms cpu {med(py_wall) * 1e3:9.2f} ms "
          f"wall  {len(theirs)} bytes")
    print(f"  ours / python     : {med(ours_cpu) / med(py_cpu):9.3f} (cpu) "
          f"{med(ours_wall) / med(py_wall):9.3f} (wall)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
