"""Soak: the daemon with a 1 s interval on a simulated host of 50 VMs, scraped all the while.

The daemon runs for --feeds feeds (default 2000) on the simulated host (tests/sim/simhost.py),
every VM with block, network and balloon devices (the standard texts), while a client thread
sends GET /metrics to 127.0.0.1 one request after the other, --scrape-pause seconds apart
(default 0.05: back to back the client alone takes a core of a small machine). Feeds are counted
without touching the daemon: the fake bhyvectl numbers every --get-stats call for VM 1 (asked
once per feed) in that VM's limit-sleep counter, so each scrape names the feed it shows.

Readings of the daemon (taken when a scrape first shows the feed): VmRSS, open descriptors,
children in state Z. Descriptors and zombies are read twice half a second apart and only what
both readings share counts, so that a command pipe or scrape connection that happens to be open
does not count while a leaked one does. Limits: VmRSS at the last feed less than 5 % above the
reading at --checkpoint (default feed 100); persistent descriptors the same at every reading from
the checkpoint on; no persistent zombie; no failed scrape (status other than 200, connection
error, body short of its Content-Length or not ending in a newline); no scrape showing an older
feed than one before it; exit status 0 after SIGTERM. A progress line every --progress feeds
(default 100) keeps partial figures when a run is cut short. Exits 1 when a limit is broken.
--short runs a small size: 20 VMs, 25 feeds,
VmRSS compared from feed 10, a progress line every 5 feeds. Run as root:

    /usr/bin/python3 bench/soak.py [BUILD_DIR] [--feeds N] [--vms N] [--checkpoint N]
                                   [--progress N] [--scrape-pause S] [--short]
"""
import http.client
import os
import re
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402

COUNTING_VM = 1
RSS_GROWTH_LIMIT = 0.05
STALL_SECONDS = 60  # no new feed for this long ends the run as failed

def install_feed_counter(host):
    """Makes the simulated host's bhyvectl number the feeds; returns the counter file's path.
    The daemon asks for VM COUNTING_VM's counters once per feed, so that call's count is the feed
    number; the fake tool prints it as that VM's limit-sleep counter."""
    import simhost
    return host.set_tool(COUNTING_VM, "get-stats", simhost.standard_vm_texts(
        COUNTING_VM, limit_sleeps="@COUNT@")["stats"], counter=True)


def read_counter(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return None


def descriptors(pid):
    """{fd: target} of the process; a descriptor closed while it is being read is left out."""
    found = {}
    directory = f"/proc/{pid}/fd"
    for name in os.listdir(directory):
        try:
            found[int(name)] = os.readlink(os.path.join(directory, name))
        except FileNotFoundError:
            pass
    return found


def child_pids(pid):
    """The process's children, ended ones not yet reaped among them; each thread keeps the list
    of the ones it started."""
    found = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found.update(map(int, f.read().split()))
        except OSError:
            pass
    return found


def zombie_children(pid):
    """PIDs of the process's children that have ended and not been reaped."""
    found = set()
    for child in child_pids(pid):
        try:
            with open(f"/proc/{child}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    found.add(child)
        except OSError:
            pass
    return found


class Reading:
    """The daemon's figures at one feed; descriptors and zombies are the ones that persist."""

    def __init__(self, pid, feed, elapsed):
        self.feed = feed
        self.elapsed = elapsed
        self.rss = bench_util.status_kib(pid, "VmRSS")
        self.threads = bench_util.status_kib(pid, "Threads")
        fds_before, zombies_before = descriptors(pid), zombie_children(pid)
        time.sleep(0.5)
        fds_after, zombies_after = descriptors(pid), zombie_children(pid)
        self.fds_open = len(fds_after)
        self.fds = {fd: target for fd, target in fds_after.items()
                    if fds_before.get(fd) == target}
        self.zombies = zombies_before & zombies_after
        self.zombies_seen = len(zombies_before | zombies_after)
        self.children = len(child_pids(pid))


class Scraper(threading.Thread):
    """GET /metrics back to back until stopped; counts failures and the feed each body shows."""

    def __init__(self, port, vms, pause, prefix="tarn_vm"):
        super().__init__(daemon=True)
        self.port = port
        self.pause = pause
        self.vms = vms
        self.feed_pattern = re.compile(
            rb"\n%s_bhyve_cpu_limit_sleeps_total\{vm_id=\"%d\",[^}]*\} (\d+)\n"
            % (prefix.encode(), COUNTING_VM))
        self.vm_marker = b"\n%s_bhyve_cpu_vm_cpus{" % prefix.encode()
        self.stop_event = threading.Event()
        self.lock = threading.Lock()
        self.scrapes = 0
        self.bytes = 0
        self.errors = {"status": 0, "connection": 0, "truncated": 0}
        self.backwards = 0      # a body showing an older feed than an earlier body
        self.missing_vms = 0    # full-size feeds seen before, yet this body lacks VMs
        self.first_error = None
        self.feed = 0           # the newest feed any body showed

    def stop(self):
        self.stop_event.set()
        self.join(timeout=60)

    def _fail(self, kind, detail):
        with self.lock:
            self.errors[kind] += 1
            if self.first_error is None:
                self.first_error = f"{kind}: {detail}"

    def run(self):
        while not self.stop_event.wait(self.pause):
            try:
                status, body = bench_util.http_get(self.port, timeout=30.0)
            except http.client.IncompleteRead as error:
                self._fail("truncated", f"{len(error.partial)} bytes, {error.expected} missing")
                continue
            except (OSError, http.client.HTTPException) as error:
                self._fail("connection", repr(error))
                continue
            if status != 200:
                self._fail("status", f"status {status}")
                continue
            if not body and not self.feed:
                continue  # nothing to render before the first feed has finished
            if not body.endswith(b"\n"):
                self._fail("truncated", f"body of {len(body)} bytes ends in {body[-40:]!r}")
                continue
            match = self.feed_pattern.search(body)
            with self.lock:
                self.scrapes += 1
                self.bytes += len(body)
                if match is None or body.count(self.vm_marker) != self.vms:
                    # Before the first full feed that is expected; later a VM was skipped.
                    self.missing_vms += 1 if self.feed else 0
                    continue
                feed = int(match.group(1))
                if feed < self.feed:
                    self.backwards += 1
                self.feed = max(self.feed, feed)

    def snapshot(self):
        with self.lock:
            return self.feed, self.scrapes, sum(self.errors.values())


def soak(vms, feeds, checkpoint, progress, scrape_pause=0.05, out=sys.stdout, rss_limit=True):
    """Runs the soak in the current (private) namespaces; prints the table; returns 0 or 1.

    rss_limit=False still prints the growth but does not judge it: a sanitizer build keeps freed
    memory in quarantine, so its resident size grows whatever the daemon does."""
    import fixture as fx
    import simhost

    def say(text):
        print(text, file=out, flush=True)

    checkpoint = min(checkpoint, feeds)
    readings = {}
    say(f"soak: {vms} VMs, {feeds} feeds, 1 s interval, RSS compared from feed {checkpoint}, "
        f"progress every {progress} feeds")
    with tempfile.TemporaryDirectory() as work, \
            simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
        bench_util.add_vms(host, 1, vms)
        counter = install_feed_counter(host)
        port = fx.free_port()
        with fx.Daemon(fx.daemon_config(port, interval=1), directory=work) as daemon:
            daemon.start(timeout=30)
            pid = daemon.proc.pid
            scraper = Scraper(port, vms, scrape_pause)
            start = time.monotonic()
            scraper.start()
            wanted = sorted({checkpoint, feeds} | set(range(progress, feeds, progress)))
            last_feed, last_change = 0, start
            stalled = False
            try:
                while wanted:
                    time.sleep(0.05)
                    feed, scrapes, errors = scraper.snapshot()
                    now = time.monotonic()
                    if feed != last_feed:
                        last_feed, last_change = feed, now
                    elif now - last_change > STALL_SECONDS or not daemon.running():
                        stalled = True
                        say(f"soak: no feed after feed {feed} for {now - last_change:.0f} s "
                            f"(daemon {'running' if daemon.running() else 'ended'})")
                        break
                    if feed < wanted[0]:
                        continue
                    reading = Reading(pid, feed, now - start)
                    while wanted and wanted[0] <= feed:
                        readings[wanted.pop(0)] = reading
                    say(f"feed {feed:>5} at {reading.elapsed:7.0f} s: VmRSS {reading.rss} KiB, "
                        f"fds {len(reading.fds)} persistent ({reading.fds_open} open), "
                        f"threads {reading.threads}, children {reading.children}, "
                        f"zombies {len(reading.zombies)}, scrapes {scrapes}, "
                        f"scrape errors {errors}")
            finally:
                scraper.stop()
                peak = bench_util.status_kib(pid, "VmHWM") if daemon.running() else None
                started = read_counter(counter)
                elapsed = time.monotonic() - start
                status = daemon.stop(timeout=15)
            overruns = [int(re.search(r"\d+", line).group()) / 1e6
                        for line in daemon.log_lines("info", r"^Feed took \d+ us; overrun")]
            log_errors = [line for level in ("critical", "error", "warning")
                          for line in daemon.log_lines(level, ".")]

    # The checks, then the table.
    rows = []

    def row(name, value, limit="", broken=False):
        rows.append((name, str(value), limit, "BROKEN" if broken else ("ok" if limit else "")))

    first = readings.get(checkpoint)
    # A run cut short compares with its latest reading, so that its figures still show.
    last = readings.get(feeds) or (readings[max(readings)] if readings else None)
    row("feeds served", f"{last_feed} of {feeds}", f"= {feeds}", last_feed < feeds or stalled)
    row("feeds started (fake bhyvectl)", started)
    row("elapsed", f"{elapsed:.0f} s ({elapsed / max(last_feed, 1):.2f} s per feed)")
    row("overrun feeds logged", len(overruns))
    if overruns:
        row("overrun feed time", f"median {bench_util.median(overruns):.2f} s, "
            f"max {max(overruns):.2f} s")
    if first:
        row(f"VmRSS at feed {first.feed}", f"{first.rss} KiB")
    if first and last:
        growth = (last.rss - first.rss) / first.rss
        row(f"VmRSS at feed {last.feed}", f"{last.rss} KiB")
        if rss_limit:
            row("VmRSS growth", f"{growth * 100:+.2f} %", f"< {RSS_GROWTH_LIMIT * 100:.0f} %",
                growth >= RSS_GROWTH_LIMIT)
        else:
            row("VmRSS growth", f"{growth * 100:+.2f} %", "(not judged: sanitizer build)")
    if peak is not None:
        row("VmHWM at the end", f"{peak} KiB")
    later = [r for f, r in sorted(readings.items()) if f >= checkpoint]
    if first:
        counts = sorted({len(r.fds) for r in later})
        changed = [f"feed {r.feed}: {sorted(set(r.fds.items()) ^ set(first.fds.items()))}"
                   for r in later if r.fds != first.fds]
        row("persistent descriptors", "/".join(map(str, counts)),
            f"= {len(first.fds)} (feed {first.feed})", bool(changed))
        row("threads at the readings", "/".join(map(str, sorted({r.threads for r in later}))))
    zombies = max((len(r.zombies) for r in readings.values()), default=0)
    row("persistent zombie children (max)", zombies, "= 0", zombies != 0)
    row("zombie children in passing (max)",
        max((r.zombies_seen for r in readings.values()), default=0))
    row("scrapes", f"{scraper.scrapes} ({scraper.scrapes / max(elapsed, 1):.0f}/s, "
        f"{scraper.bytes / max(scraper.scrapes, 1) / 1024:.0f} KiB each)", "> 0",
        scraper.scrapes == 0)
    for kind, count in scraper.errors.items():
        row(f"scrape errors: {kind}", count, "= 0", count != 0)
    row("scrapes showing an older feed", scraper.backwards, "= 0", scraper.backwards != 0)
    row("scrapes lacking VMs", scraper.missing_vms)
    row("error/warning log lines", len(log_errors))
    row("exit status after SIGTERM", status, "= 0", status != 0)

    say("")
    say(f"{'figure':<36} {'value':<28} {'limit':<16} verdict")
    for name, value, limit, verdict in rows:
        say(f"{name:<36} {value:<28} {limit:<16} {verdict}")
    if first and later and any(r.fds != first.fds for r in later):
        say("descriptors that changed: " + "; ".join(changed))
    if scraper.first_error:
        say(f"first scrape error: {scraper.first_error}")
    if log_errors:
        say(f"first error/warning logged: {log_errors[0]}")
    broken = [name for name, _, _, verdict in rows if verdict == "BROKEN"]
    say(f"soak: {'limits broken: ' + ', '.join(broken) if broken else 'all limits kept'}")
    return 1 if broken else 0


def main():
    def extra(parser):
        parser.add_argument("--feeds", type=int, default=None, help="feeds to run (default 2000)")
        parser.add_argument("--vms", type=int, default=None, help="VMs on the host (default 50)")
        parser.add_argument("--checkpoint", type=int, default=None,
                            help="feed whose VmRSS the last one is compared with (default 100)")
        parser.add_argument("--progress", type=int, default=None,
                            help="a progress line every N feeds (default 100)")
        parser.add_argument("--scrape-pause", type=float, default=0.05,
                            help="seconds between one answer and the next request (default 0.05)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    # --short: the size CI runs (bench/run_short.sh), under half a minute.
    vms = args.vms if args.vms is not None else (20 if args.short else 50)
    feeds = args.feeds if args.feeds is not None else (25 if args.short else 2000)
    checkpoint = args.checkpoint if args.checkpoint is not None else (10 if args.short else 100)
    progress = args.progress if args.progress is not None else (5 if args.short else 100)
    if feeds < 1 or checkpoint < 1 or progress < 1 or vms < 1:
        sys.exit("--feeds, --vms, --checkpoint and --progress must be at least 1")
    bench_util.use_build(args.build_dir)
    bench_util.enter_namespaces()
    return soak(vms, feeds, checkpoint, progress, args.scrape_pause)


if __name__ == "__main__":
    sys.exit(main())
