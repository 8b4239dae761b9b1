"""The running daemon on a faulty simulated host: hung, garbage-spewing and signal-killed host
tools, devices segments that vanish, shrink or claim 1 TiB between feeds, shared-memory objects
that shrink while the daemon reads them, a VM that exits during a feed, and an InfluxDB server
that answers late or never. A daemon that dies in one scenario is reported there and replaced
for the rest.

One daemon (1-second interval, scrape server on 127.0.0.1, --dump-influx-metrics, Influx export
to a small stub server on 127.0.0.1) watches four VMs while the faults come and go. Every feed
logs one "[influx]" line per sample, so the log shows exactly what each feed held; a feed counts
once the next one has begun or its overrun has been logged. Each change of the host is followed
by a new value of the host's rate_limit setting, written last: the first feed that shows it read
everything after the change, and the scrape showing it renders such a feed. Each scenario checks
that feed line by line against the expected samples of every VM (the faulty one loses exactly
what the fault takes, the others keep theirs) and the scrape against the same set.

Between feeds the test looks for what a fault could leave behind: child processes of the daemon
(zombies included), host tools still alive after their process group was killed, and at the end
the daemon's descriptors (as many as after its first feed) and mappings (no /dev/shm object).

Runs as root as PID 1 of private mount and PID namespaces, so the daemon sees only these VMs and
the test reaps the tool processes that a killed process group leaves to the namespace's init.
Traffic only to 127.0.0.1; everything started is stopped by finally blocks or context exits.
"""
import os
import random
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))
import daemon_util as du  # noqa: E402
import harness  # noqa: E402
import simhost  # noqa: E402

from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

H = socket.gethostname()
VMS = (3, 5, 7, 11)          # started in this order, so discovery lists them in this order
TSC = 1000000000
KERN_HZ = 100
DELAY_MS, BURST_SECS = 250, 3
MARKER = "hw.vmm.vcpu_limit.class.1.rate_limit"
COMMAND_LIMIT = 5.0          # seconds after which the daemon kills a host command
POST_TIMEOUT = 2.0           # seconds a whole Influx POST may take
HANG = 60                    # seconds a hung host tool would sleep
# VMs whose host tools the CPU collector runs at once, as the daemon counts hardware threads.
CPU_WORKERS = min(8, os.cpu_count() or 1, len(VMS))
MIB = 1 << 20
# For an ordinary feed to show a change; a sanitizer build reads and scans the tens of MiB of the
# large-object scenarios several times slower.
FEED_TIMEOUT = 40.0 if os.environ.get("TARN_SANITIZE") else 10.0
CONVERSIONS = {"delay_ms": 0.001, "limit_mbps": 125000.0, "tx_limit_mbps": 125000.0,
               "rx_limit_mbps": 125000.0}
LOG_LINE = re.compile(r"\[\d{4}-\d\d-\d\d \d\d:(\d\d):(\d\d\.\d{3})\] \[(\w+)\] (.*)")
OVERRUN = re.compile(r"Feed took (\d+) us; overrun, resuming")


# -- what the feeds should hold ------------------------------------------------------------------

def cpu_sample(vm, labels=None, fields=None):
    """The bhyve_cpu sample of standard_vm_texts(vm) with kern.hz 100 and a 1 GHz TSC."""
    label_values = {"vm_id": str(vm), "vdc_id": str(vm + 100), "hostname": H, "limit_class": "1"}
    label_values.update(labels or {})
    values = {"memoryuse": str(100 * vm), "vmemoryuse": str(200 * vm), "pcpu": str(vm),
              "vm_cpus": "2", "idle_ticks": str(3000 * vm // KERN_HZ),
              "limit_sleeps": str(7 * vm), "vcpu_runtime": f"{vm}.000000",
              "vm_rss": str(vm * 1000000 + 1), "vm_wired": str(1000 * vm)}
    values.update(fields or {})
    return ("bhyve_cpu", tuple(label_values.items()), tuple(values.items()))


def device_samples(vm):
    """The device samples of standard_vm_texts(vm), in the collector's order."""
    slotted = (("vm_id", str(vm)), ("slot", "0"), ("hostname", H))
    blk = ("read_bytes", 1000 * vm), ("read_iops", 10 * vm), ("write_bytes", 2000 * vm), \
        ("write_iops", 20 * vm), ("trim_bytes", 0), ("trim_iops", 0), ("limit_mbps", 100), \
        ("limit_iops", 500)
    net = ("tx_bytes", 3000 * vm), ("tx_pps", 30 * vm), ("rx_bytes", 4000 * vm), \
        ("rx_pps", 40 * vm), ("tx_limit_mbps", 100), ("rx_limit_mbps", 200), ("tx_drops", 1), \
        ("rx_drops", 2)
    balloon = zip(("pages", "actual", "errors", "swap_in", "swap_out", "major_faults",
                   "minor_faults", "free_memory", "total_memory", "avail_memory", "disk_caches"),
                  range(vm, vm + 11))
    text = lambda pairs: tuple((k, str(v)) for k, v in pairs)  # noqa: E731
    return {"virtio_blk": ("virtio_blk", slotted, text(blk)),
            "virtio_net": ("virtio_net", slotted, text(net)),
            "virtio_balloon": ("virtio_balloon", (("vm_id", str(vm)), ("hostname", H)),
                               text(balloon))}


class VmState:
    """What one VM contributes to a feed: its bhyve_cpu sample (or None) and device samples."""

    def __init__(self, vm):
        self.vm = vm
        self.reset()

    def reset(self):
        self.cpu = cpu_sample(self.vm)
        self.devices = device_samples(self.vm)

    def cpu_with(self, labels=None, fields=None):
        self.cpu = cpu_sample(self.vm, labels, fields)


def expected_feed(states, marker):
    host = ("host_cpu_limit", (("hostname", H), ("limit_class", "1")),
            (("delay_ms", str(DELAY_MS)), ("rate_limit", str(marker)),
             ("burst_secs", str(BURST_SECS)), ("hz", str(TSC))))
    samples = [host] + [s.cpu for s in states if s.cpu is not None]
    for s in states:
        samples += [s.devices[m] for m in ("virtio_blk", "virtio_net", "virtio_balloon")
                    if m in s.devices]
    return samples


def parse_line(line):
    head, fields, _ = line.split(" ")
    measurement, *labels = head.split(",")
    return (measurement, tuple(tuple(p.split("=", 1)) for p in labels),
            tuple(tuple(p.split("=", 1)) for p in fields.split(",")))


def describe(samples):
    return "\n".join(f"  {m} {dict(labels)} {dict(fields)}" for m, labels, fields in samples)


def diff(expected, got):
    missing = [s for s in expected if s not in got]
    extra = [s for s in got if s not in expected]
    text = ""
    if missing:
        text += "missing:\n" + describe(missing) + "\n"
    if extra:
        text += "unexpected:\n" + describe(extra) + "\n"
    return text or "same samples, other order"


def scrape_view(samples):
    """{(measurement, vm_id, slot, field): value} as the scrape should show the samples."""
    view = {}
    for measurement, labels, fields in samples:
        labels = dict(labels)
        for name, value in fields:
            view[(measurement, labels.get("vm_id"), labels.get("slot"), name)] = \
                float(value) * CONVERSIONS.get(name, 1.0)
    return view


def parse_scrape(text):
    view = {}
    for family in text_string_to_metric_families(text):
        # HELP names the measurement and the field as collected: "virtio_net tx_bytes (counter)".
        measurement, field, _ = family.documentation.split(" ")
        for sample in family.samples:
            key = (measurement, sample.labels.get("vm_id"), sample.labels.get("slot"), field)
            if key in view:
                raise AssertionError(f"{key} twice in the scrape")
            view[key] = sample.value
    return view


# -- the daemon's log, feed by feed ------------------------------------------------------------

class Feed:
    def __init__(self, timestamp, seen):
        self.timestamp = timestamp
        self.seen = seen          # monotonic time its first line was read
        self.lines = []
        self.errors = []          # error messages logged while its lines were posted
        self.overrun_us = None
        self.complete = False
        self.first_logged = self.last_error_logged = None  # seconds in the hour, as logged

    def samples(self):
        return [parse_line(line) for line in self.lines]

    def marker(self):
        for measurement, _, fields in self.samples()[:1]:
            if measurement == "host_cpu_limit":
                return int(dict(fields)["rate_limit"])
        return None

    def duration(self):
        if self.overrun_us is None:
            return "under the 1 s interval"
        return f"{self.overrun_us / 1e6:.2f} s"


class FeedLog:
    """Follows the daemon's log file and splits the "[influx]" lines into feeds."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = b""
        self.feeds = []
        self.other = []           # (level, message) outside the feeds' own lines

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        *lines, self.rest = (self.rest + data).split(b"\n")
        now = time.monotonic()
        for raw in lines:
            m = LOG_LINE.fullmatch(raw.decode(errors="replace"))
            if not m:
                continue
            minutes, seconds, level, message = m.groups()
            logged = int(minutes) * 60 + float(seconds)  # within the hour, enough for spans
            if level == "info" and message.startswith("[influx] "):
                line = message[len("[influx] "):]
                timestamp = line.rsplit(" ", 1)[-1]
                if not self.feeds or self.feeds[-1].timestamp != timestamp:
                    if self.feeds:
                        self.feeds[-1].complete = True
                    self.feeds.append(Feed(timestamp, now))
                    self.feeds[-1].first_logged = logged
                self.feeds[-1].lines.append(line)
                continue
            overrun = OVERRUN.fullmatch(message) if level == "info" else None
            if overrun and self.feeds:
                self.feeds[-1].overrun_us = int(overrun.group(1))
                self.feeds[-1].complete = True
            elif level == "error" and message.startswith("Influx ") and self.feeds:
                self.feeds[-1].errors.append(message)
                self.feeds[-1].last_error_logged = logged
            else:
                self.other.append((level, message))


# -- a stand-in InfluxDB write endpoint ----------------------------------------------------------

class InfluxStub:
    """Answers 204 at once ("ok"), after a delay ("slow", seconds), or never ("hang")."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.listener.settimeout(0.2)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.mode = ("ok", 0.0)
        self.bodies = []          # bodies read in full (answered at once, later, or too late)
        self.held = []            # connections of the "hang" mode, never answered
        self.lock = threading.Lock()
        self.stopping = False
        self.threads = []
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()

    def set_mode(self, mode, delay=0.0):
        with self.lock:
            self.mode = (mode, delay)

    def received(self):
        with self.lock:
            return list(self.bodies)

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                mode = self.mode
                if mode[0] == "hang":
                    self.held.append(conn)
                    continue
            worker = threading.Thread(target=self._serve, args=(conn, mode[1]), daemon=True)
            self.threads.append(worker)
            worker.start()

    def _serve(self, conn, delay):
        try:
            conn.settimeout(10)
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, body = data.split(b"\r\n\r\n", 1)
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value)
                if name.strip().lower() == b"expect" and b"100-continue" in value.lower():
                    conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            while len(body) < length:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                body += chunk
            with self.lock:
                self.bodies.append(body.decode(errors="replace"))
            if delay:
                time.sleep(delay)
            conn.sendall(b"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n"
                         b"Connection: close\r\n\r\n")
        except OSError:
            pass  # the client gave up first
        finally:
            conn.close()

    def close(self):
        self.stopping = True
        self.acceptor.join(timeout=5)
        self.listener.close()
        with self.lock:
            for conn in self.held:
                conn.close()
            self.held = []
        for worker in self.threads:
            worker.join(timeout=10)


# -- processes of the namespace ------------------------------------------------------------------

def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


# -- garbage shapes ---------------------------------------------------------------------------

def _random(size, seed):
    return random.Random(seed).randbytes(size)


def _get_all(vm, resident=None, topology=None):
    texts = simhost.standard_vm_texts(vm)["get_all"]
    if resident is not None:
        texts = re.sub(r"Resident memory +\d+\n", lambda _: resident, texts)
    if topology is not None:
        texts = re.sub(r"cpu_topology:[^\n]*\n", lambda _: topology, texts)
    return texts.encode()


def _standard(vm, key):
    value = simhost.standard_vm_texts(vm)[key]
    return value.encode() if isinstance(value, str) else value


ABSENT = "absent"

# (what the tool prints, tool, builder of the output for a VM, effect on that VM's bhyve_cpu:
# ABSENT, or (label overrides, field overrides)). "devices" stands for the devices segment.
GARBAGE = (
    ("get-all: 4 MiB of random bytes", "get-all", lambda vm: _random(4 * MIB, vm), ABSENT),
    ("get-all: one 4 MiB line of spaces", "get-all", lambda vm: b" " * (4 * MIB) + b"\n",
     ABSENT),
    ("get-all: one 4 MiB line of digits", "get-all", lambda vm: b"7" * (4 * MIB) + b"\n", ABSENT),
    ("get-all: \"Resident memory\" and 1 MiB of spaces, no value", "get-all",
     lambda vm: _get_all(vm, resident="Resident memory" + " " * MIB + "\n"),
     ({}, {"vm_rss": "0"})),
    ("get-all: \"Resident memory\", 1 MiB of spaces, then the value", "get-all",
     lambda vm: _get_all(vm, resident="Resident memory" + " " * MIB + "4242\n"),
     ({}, {"vm_rss": "4242"})),
    ("get-all: 1 MiB of blanks and tabs inside the topology line", "get-all",
     lambda vm: _get_all(vm, topology="cpu_topology:" + " \t" * (MIB // 2)
                         + "sockets=2, cores=3, threads=1, maxcpus=16\n"),
     ({}, {"vm_cpus": "6"})),
    ("get-all: the usual lines after 4 MiB of random bytes", "get-all",
     lambda vm: _random(4 * MIB, vm + 1) + b"\n" + _get_all(vm), ({}, {})),
    ("get-vcpu-class: vcpu_class=42 and 2 MiB more digits", "get-vcpu-class",
     lambda vm: b"vcpu_class=42" + b"9" * (2 * MIB) + b"\n", ({"limit_class": "42"}, {})),
    ("get-vcpu-class: 2 MiB of random bytes", "get-vcpu-class",
     lambda vm: b"#" + _random(2 * MIB, vm + 2), ABSENT),
    ("get-stats: a 1 MiB line of digits among the usual lines", "get-stats",
     lambda vm: _standard(vm, "stats") + b"9" * MIB + b"\n", ({}, {})),
    ("get-stats: \"vcpu total runtime\" and a 1 MiB number", "get-stats",
     lambda vm: b"vcpu total runtime " + b"1" * MIB + b"\n" + _standard(vm, "stats"), ABSENT),
    ("get-stats: 1 MiB of spaces between a name and its value", "get-stats",
     lambda vm: re.sub(rb"vcpu total runtime +", b"vcpu total runtime" + b" " * MIB,
                       _standard(vm, "stats")), ({}, {})),
    ("rctl: a 1 MiB line of lowercase letters among the usual lines", "rctl",
     lambda vm: _standard(vm, "rctl") + b"a" * MIB + b"\n", ({}, {})),
    ("rctl: a 1 MiB lowercase name with a value", "rctl",
     lambda vm: b"q" * MIB + b"=5\n" + _standard(vm, "rctl"), ({}, {})),
    ("rctl: 4 MiB of random bytes", "rctl", lambda vm: _random(4 * MIB, vm + 3),
     ({}, {"memoryuse": "0", "vmemoryuse": "0", "pcpu": "0"})),
    ("rctl: memoryuse= and 2 MiB of digits", "rctl",
     lambda vm: b"memoryuse=" + b"8" * (2 * MIB) + b"\n" + _standard(vm, "rctl"), ABSENT),
    ("devices segment: 4 MiB of random bytes before the records", "devices",
     lambda vm: _random(4 * MIB, vm + 4) + b"\n" + _standard(vm, "devices"), ({}, {})),
    ("devices segment: 1 MiB of white space inside the block record", "devices",
     lambda vm: _standard(vm, "devices").replace(b"virtio-blk ",
                                                 b"virtio-blk" + b" \n" * (MIB // 2)), ({}, {})),
)

TOOL_KEYS = {"get-all": "get_all", "get-vcpu-class": "vcpu_class", "get-stats": "stats",
             "rctl": "rctl", "devices": "devices"}


class DaemonDied(AssertionError):
    pass


class HostFaults(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tarn-e2e-faults-")
        self.daemon = None
        self.influx = None
        self.host = simhost.SimulatedHost(sysctls={"machdep.tsc_freq": TSC})
        self.host.__enter__()
        self.marker = 0
        self.reaped = 0
        try:
            self.host.set_sysctl("kern.hz", KERN_HZ)
            self.host.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", DELAY_MS)
            self.host.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", BURST_SECS)
            self.host.set_sysctl(MARKER, self.marker)
            for vm in VMS:
                self.host.add_vm(vm)
            self.states = {vm: VmState(vm) for vm in VMS}
            self.influx = InfluxStub()
            self.start_daemon()
        except BaseException:
            self.tearDown()
            raise

    def tearDown(self):
        if self.daemon is not None:
            self.daemon.__exit__(None, None, None)
        if self.influx is not None:
            self.influx.close()
        self.host.__exit__(None, None, None)
        shutil.rmtree(self.work, ignore_errors=True)

    # -- the daemon ------------------------------------------------------------------------------

    def start_daemon(self):
        if self.daemon is not None:
            self.daemon.__exit__(None, None, None)
        self.port = harness.free_port()
        config = du.daemon_config(self.port, interval=1, influx={
            "url": self.influx.address, "database": "tarn", "user": "tarn", "password": "pw"})
        self.daemon = du.Daemon(config, extra_args=("--dump-influx-metrics", "--log-size", "64M"),
                                directory=self.work)
        self.daemon.start()
        self.log = FeedLog(self.daemon.log_path)
        self.wait_quiet()
        self.baseline_fds = self.descriptors()

    def ensure_daemon(self):
        """A daemon that died in an earlier scenario (already reported there) is replaced."""
        if not self.daemon.running():
            print(f"  (daemon ended with {self.daemon.proc.returncode}; starting a new one)",
                  flush=True)
            self.start_daemon()

    def poll_until(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            self.log.poll()
            value = predicate()
            if value:
                return value
            if not self.daemon.running():
                raise DaemonDied(f"daemon ended with status {self.daemon.proc.returncode} while "
                                 f"waiting for {what}; log tail:\n{self.daemon.log()[-3000:]}"
                                 f"\nstderr:\n{self.daemon.stderr_text()[-2000:]}")
            if time.monotonic() >= deadline:
                raise AssertionError(f"no {what} within {timeout} s; log tail:\n"
                                     f"{self.daemon.log()[-3000:]}")
            time.sleep(0.02)

    def wait_quiet(self, timeout=15.0):
        """Returns inside the sleep after a feed: its lines have just appeared (so its collection
        has ended, every host command included), it overran nothing, and the next feed is most
        of a second away."""
        deadline = time.monotonic() + timeout
        while True:
            self.log.poll()
            count = len(self.log.feeds)
            self.poll_until(lambda: len(self.log.feeds) > count,
                            max(0.1, deadline - time.monotonic()), "a feed")
            feed = self.log.feeds[-1]
            time.sleep(0.15)
            self.log.poll()
            if (feed is self.log.feeds[-1] and feed.overrun_us is None
                    and time.monotonic() - feed.seen < 0.4):
                return feed
            if time.monotonic() >= deadline:
                raise AssertionError("no quiet moment between feeds")

    def bump(self):
        """The host's rate_limit setting, written after every change: a feed that shows the new
        value began reading the host after the change."""
        self.marker += 1
        self.host.set_sysctl(MARKER, self.marker)
        return self.marker

    def feed_with(self, marker, timeout=FEED_TIMEOUT):
        def found():
            for feed in self.log.feeds:
                if feed.marker() == marker:
                    return feed if feed.complete else None
            return None
        return self.poll_until(found, timeout, f"a complete feed with rate_limit {marker}")

    def expected(self, marker):
        return expected_feed([self.states[vm] for vm in sorted(self.states)], marker)

    def check_feed(self, feed, marker):
        want = self.expected(marker)
        got = feed.samples()
        self.assertEqual(got, want, "feed differs:\n" + diff(want, got))
        return len(got)

    def scrape(self):
        answer = du.exchange(self.port, timeout=8)
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), answer[:200])
        return parse_scrape(body.decode())

    def check_scrape(self, marker, samples=None):
        """The scrape renders a feed with this marker, holding exactly the expected samples."""
        key = ("host_cpu_limit", None, None, "rate_limit")
        view = self.poll_until(lambda: (lambda v: v if v.get(key) == marker else None)(
            self.scrape()), FEED_TIMEOUT, f"a scrape of rate_limit {marker}")
        want = scrape_view(samples if samples is not None else self.expected(marker))
        self.assertEqual(view, want, "scrape differs: missing "
                         f"{sorted(set(want) - set(view))}, unexpected "
                         f"{sorted(set(view) - set(want))}")

    # -- processes and resources -----------------------------------------------------------------

    def strays(self):
        """Processes of the namespace that are neither this test, the daemon nor a VM; zombies
        left to this init by a killed process group are reaped and counted."""
        known = {os.getpid(), self.daemon.proc.pid} | set(self.host.processes)
        found = []
        for pid, (comm, state, ppid) in du.processes().items():
            if pid in known:
                continue
            if state == "Z" and ppid == os.getpid():
                try:
                    if os.waitpid(pid, os.WNOHANG)[0] == pid:
                        self.reaped += 1
                        continue
                except ChildProcessError:
                    continue
            whose = "the daemon's child" if ppid == self.daemon.proc.pid else f"parent {ppid}"
            found.append(f"{pid} {comm} (state {state}, {whose}) {cmdline(pid)}")
        return found

    def check_no_strays(self):
        """Called just after wait_quiet: no host command of the daemon may exist any more."""
        deadline = time.monotonic() + 0.3  # for a SIGKILL in flight to land
        while True:
            left = self.strays()
            if not left or time.monotonic() >= deadline:
                break
            time.sleep(0.02)
        self.assertEqual(left, [], "processes left between feeds")

    def descriptors(self):
        fd_dir = f"/proc/{self.daemon.proc.pid}/fd"
        found = []
        for name in os.listdir(fd_dir):
            try:
                found.append(os.readlink(os.path.join(fd_dir, name)))
            except OSError:
                pass
        return sorted(re.sub(r"\[\d+\]$", "[]", target) for target in found)

    def shm_mappings(self):
        with open(f"/proc/{self.daemon.proc.pid}/maps") as f:
            return [line for line in f if "/dev/shm/" in line]

    def sleeping_tools(self):
        """{(vm, tool): pid} of the fake tools that are pausing (they call themselves "sleep"
        meanwhile)."""
        by_pid = {pid: vm for vm, pid in self.host.vm_pids.items()}
        found = {}
        for pid, (comm, state, _) in du.processes().items():
            if comm != "sleep" or state == "Z":
                continue
            args = cmdline(pid)
            if args and args[0] == b"/usr/bin/rctl":
                owner = [int(a[8:]) for a in args if a.startswith(b"process:")]
                found[(by_pid.get(owner[0]) if owner else None, "rctl")] = pid
                continue
            vm = [a[5:] for a in args if a.startswith(b"--vm=")]
            tool = [a[2:].decode() for a in args if a.startswith(b"--get-")]
            if vm and tool:
                found[(int(vm[0]), tool[0])] = pid
        return found

    # -- scenarios -------------------------------------------------------------------------------

    def test_host_faults(self):
        started = time.monotonic()
        for scenario in (self.baseline, self.hung_tools, self.tools_killed_by_signals,
                         self.garbage, self.devices_segments,
                         self.segments_shrinking_while_read, self.vm_exits_during_feed,
                         self.all_vms_gone, self.slow_influx, self.resources_after_all,
                         self.influx_hung_at_many_vms):
            with self.subTest(scenario=scenario.__name__):
                self.ensure_daemon()
                scenario()
        print(f"all scenarios in {time.monotonic() - started:.1f} s; {self.reaped} killed tool "
              "processes reaped by the namespace's init", flush=True)

    def baseline(self):
        marker = self.bump()
        feed = self.feed_with(marker)
        count = self.check_feed(feed, marker)
        self.check_scrape(marker)
        # Every line of the feed went to InfluxDB as its own POST.
        self.poll_until(lambda: set(feed.lines) <= set(self.influx.received()), 5,
                        "the feed's lines at the Influx stub")
        self.assertEqual(feed.errors, [])
        print(f"baseline: feed {feed.duration()}, {count} samples of {len(VMS)} VMs, "
              f"{len(self.baseline_fds)} descriptors after the first feed", flush=True)

    def hung_tools(self):
        hung = ((3, "get-all"), (5, "get-stats"), (7, "rctl"))
        self.wait_quiet()
        for vm, tool in hung:
            self.host.set_tool_delay(vm, tool, HANG)
        marker = self.bump()
        before = self.expected(marker - 1)
        pending, sleeps, scraped = set(hung), {}, None
        try:
            deadline = time.monotonic() + len(hung) * COMMAND_LIMIT + FEED_TIMEOUT
            while pending and time.monotonic() < deadline:
                # Each pause is taken once: later feeds run without it.
                for key, pid in self.sleeping_tools().items():
                    if key in pending:
                        self.host.set_tool_delay(key[0], key[1], None)
                        pending.discard(key)
                        sleeps[key] = pid
                if sleeps and scraped is None:
                    # The collection is stuck in a host tool: scrapes still get the last feed.
                    self.check_scrape(marker - 1, before)
                    scraped = sorted(sleeps)
                time.sleep(0.02)
        finally:
            for vm, tool in hung:
                self.host.set_tool_delay(vm, tool, None)
        self.assertEqual(pending, set(), "hung tools never seen running")
        feed = self.feed_with(marker, timeout=len(hung) * COMMAND_LIMIT + FEED_TIMEOUT)
        self.states[3].cpu = None                                   # no topology: VM skipped
        self.states[5].cpu_with(fields={"idle_ticks": "0", "limit_sleeps": "0",
                                        "vcpu_runtime": "0.000000"})
        self.states[7].cpu_with(fields={"memoryuse": "0", "vmemoryuse": "0", "pcpu": "0"})
        try:
            count = self.check_feed(feed, marker)
        finally:
            for state in self.states.values():
                state.reset()
        # Each hung command was given up after the bounded wait. The hung VMs come first in the
        # list, so the workers take them first: as many at once as there are workers.
        rounds = -(-len(hung) // CPU_WORKERS)
        self.assertIsNotNone(feed.overrun_us, "the feed did not overrun")
        self.assertGreaterEqual(feed.overrun_us, rounds * COMMAND_LIMIT * 1e6)
        self.assertLess(feed.overrun_us, (len(hung) * COMMAND_LIMIT + FEED_TIMEOUT) * 1e6)
        alive = {k: pid for k, pid in sleeps.items()
                 if du.processes().get(pid, ("", "Z", 0))[1] != "Z"}
        self.assertEqual(alive, {}, "a hung tool survived the kill of its process group")
        self.wait_quiet()
        self.check_no_strays()
        print(f"hung tools: feed {feed.duration()} with get-all of VM 3, get-stats of VM 5 and "
              f"rctl of VM 7 hung; {count} samples: VM 3 without bhyve_cpu, VM 5 without run "
              "statistics, VM 7 without resource use, VM 11 and all devices complete; "
              f"a scrape during the hang of {scraped[0]} got the previous feed; "
              "no tool left running", flush=True)

    def tools_killed_by_signals(self):
        # (vm, tool, signal): rctl counts only on a clean exit; bhyvectl's output counts anyway.
        cases = ((3, "rctl", "SEGV"), (5, "rctl", "KILL"), (7, "get-stats", "KILL"),
                 (11, "get-all", "SEGV"))
        try:
            for vm, tool, name in cases:
                self.host.set_tool_signal(vm, tool, name)
            for vm in (3, 5):
                self.states[vm].cpu_with(fields={"memoryuse": "0", "vmemoryuse": "0",
                                                 "pcpu": "0"})
            marker = self.bump()
            feed = self.feed_with(marker)
            count = self.check_feed(feed, marker)
            self.check_scrape(marker)
            self.wait_quiet()
            self.check_no_strays()
        finally:
            for vm, tool, _ in cases:
                self.host.set_tool_signal(vm, tool, None)
            for state in self.states.values():
                state.reset()
        print(f"tools killed by signals: feed {feed.duration()}, {count} samples: VMs 3 and 5 "
              "without resource use (rctl died by SEGV, KILL), VMs 7 and 11 complete (bhyvectl "
              "output kept after KILL, SEGV); no zombie", flush=True)

    def apply_output(self, vm, tool, data):
        if tool == "devices":
            self.host.write_shm(f"/bhyve.vm.{vm}.devices", data)
        else:
            self.host.set_tool_output(vm, tool, data)

    def restore_outputs(self):
        for vm in self.states:
            standard = simhost.standard_vm_texts(vm)
            for tool, key in TOOL_KEYS.items():
                self.apply_output(vm, tool, standard[key])
            self.states[vm].reset()

    def garbage(self):
        victims = (3, 5, 7)  # VM 11 always answers normally
        crashed = []
        for first in range(0, len(GARBAGE), len(victims)):
            shapes = GARBAGE[first:first + len(victims)]
            with self.subTest(garbage=[s[0] for s in shapes]):
                self.ensure_daemon()
                try:
                    for vm, (_, tool, build, effect) in zip(victims, shapes):
                        self.apply_output(vm, tool, build(vm))
                        if effect == ABSENT:
                            self.states[vm].cpu = None
                        else:
                            self.states[vm].cpu_with(*effect)
                    marker = self.bump()
                    try:
                        feed = self.feed_with(marker, timeout=FEED_TIMEOUT + 10)
                    except DaemonDied:
                        crashed += self.culprits(shapes)
                        raise
                    count = self.check_feed(feed, marker)
                    self.check_scrape(marker)
                    print(f"garbage: feed {feed.duration()}, {count} samples as expected with "
                          + "; ".join(f"VM {vm} {s[0]}" for vm, s in zip(victims, shapes)),
                          flush=True)
                finally:
                    self.restore_outputs()
        if crashed:
            print("garbage: the daemon crashed on " + "; ".join(crashed), flush=True)

    def culprits(self, shapes):
        """Runs a one-shot dump per shape, each alone on VM 3, and names those that crash it."""
        found = []
        config = harness.write_config("[prometheus]\nenabled = true\n", directory=self.work)
        for name, tool, build, _ in shapes:
            self.restore_outputs()
            self.apply_output(3, tool, build(3))
            done = harness.run_daemon(["-c", config, "-p"], timeout=60)
            if done.returncode != 0:
                found.append(f"{name} (one-shot dump status {done.returncode})")
        self.restore_outputs()
        return found

    def devices_segments(self):
        vm, name, vmc_name = 5, "/bhyve.vm.5.devices", "/vmc.vm.5"
        path, vmc_path = (os.path.join("/dev/shm", n[1:]) for n in (name, vmc_name))
        text, vmc = (simhost.standard_vm_texts(vm)[k] for k in ("devices", "vmc"))
        net = text.index(b"net4:")
        cut = (net + text.index(b"\n", net)) // 2  # inside the network record
        tib = 1 << 40
        over_limit = [f"[shm] {n} is {tib} bytes, over the 67108864 byte limit; skipped"
                      for n in (vmc_name, name)]
        steps = (  # (what, change, device samples kept, bhyve_cpu kept, warnings)
            ("removed", lambda: self.host.remove_shm(name), (), True, []),
            ("cut inside the network record", lambda: (self.host.write_shm(name, text),
                                                       os.truncate(path, cut)), ("virtio_blk",),
             True, []),
            ("truncated to 0 bytes", lambda: os.truncate(path, 0), (), True, []),
            # Sparse: the objects claim 1 TiB and count as absent, the other VMs are complete.
            ("and /vmc.vm.5 grown to 1 TiB", lambda: (os.truncate(path, tib),
                                                      os.truncate(vmc_path, tib)), (), False,
             over_limit),
            ("restored", lambda: (self.host.write_shm(name, text),
                                  self.host.write_shm(vmc_name, vmc)),
             ("virtio_blk", "virtio_net", "virtio_balloon"), True, []),
        )
        try:
            for what, change, kept, cpu, warnings in steps:
                with self.subTest(segment=what):
                    change()
                    self.states[vm].devices = {m: s for m, s in device_samples(vm).items()
                                               if m in kept}
                    self.states[vm].cpu = cpu_sample(vm) if cpu else None
                    self.log.other.clear()
                    marker = self.bump()
                    feed = self.feed_with(marker)
                    count = self.check_feed(feed, marker)
                    self.check_scrape(marker)
                    logged = {m for _, m in self.log.other}
                    self.assertEqual(set(warnings) - logged, set())
                    print(f"devices segment of VM {vm} {what}: feed {feed.duration()}, {count} "
                          f"samples, VM {vm} device samples: {', '.join(kept) or 'none'}"
                          + ("" if cpu else ", no bhyve_cpu"), flush=True)
        finally:
            self.host.write_shm(name, text)
            self.host.write_shm(vmc_name, vmc)
            self.states[vm].reset()

    def segments_shrinking_while_read(self):
        """A publisher that keeps shrinking its objects to one page and writing them out again
        in full, so that the daemon's reads meet pages that vanish under its mapping. The texts
        sit in the first page, which the shrinking keeps and the rewriting leaves as it was."""
        vm, feeds = 5, 4
        devices = simhost.standard_vm_texts(vm)["devices"] + b" " * (32 * MIB)
        vmc = simhost.standard_vm_texts(vm)["vmc"] + b" " * (8 * MIB)
        objects = ((f"/bhyve.vm.{vm}.devices", devices), (f"/vmc.vm.{vm}", vmc))
        for name, data in objects:
            self.host.write_shm(name, data)
        stop = threading.Event()

        def publish():
            descriptors = [(os.open(os.path.join("/dev/shm", name[1:]), os.O_RDWR), data)
                           for name, data in objects]
            try:
                while not stop.is_set():
                    for fd, data in descriptors:
                        os.ftruncate(fd, 4096)
                        os.pwrite(fd, data, 0)
            finally:
                for fd, _ in descriptors:
                    os.close(fd)

        publisher = threading.Thread(target=publish)
        publisher.start()
        # A read that met a vanished page comes to nothing: the VM's device samples are then all
        # missing, or its bhyve_cpu sample (no VDC number); otherwise the feed is complete.
        state = self.states[vm]
        allowed = {}
        for has_cpu in (True, False):
            for has_devices in (True, False):
                state.cpu = cpu_sample(vm) if has_cpu else None
                state.devices = device_samples(vm) if has_devices else {}
                allowed[(has_cpu, has_devices)] = self.expected(self.marker + 1)
        state.reset()
        try:
            marker = self.bump()
            start = self.log.feeds.index(self.feed_with(marker))
            self.poll_until(lambda: len(self.log.feeds) >= start + feeds
                            and self.log.feeds[start + feeds - 1].complete,
                            feeds * 2 + FEED_TIMEOUT, f"{feeds} feeds")
        finally:
            stop.set()
            publisher.join()
            for name, data in objects:
                self.host.write_shm(name, simhost.standard_vm_texts(vm)[
                    "devices" if name.endswith(".devices") else "vmc"])
        outcomes = []
        for feed in self.log.feeds[start:start + feeds]:
            got = feed.samples()
            match = [key for key, want in allowed.items() if got == want]
            self.assertTrue(match, "feed differs from every allowed outcome:\n"
                            + diff(allowed[(True, True)], got))
            outcomes.append(match[0])
        marker = self.bump()
        self.check_feed(self.feed_with(marker), marker)
        print(f"objects of VM {vm} shrinking while read: {feeds} feeds, VDC number read in "
              f"{sum(c for c, _ in outcomes)}, device records in {sum(d for _, d in outcomes)}; "
              "the daemon went on", flush=True)

    def vm_exits_during_feed(self):
        vm = 7
        self.wait_quiet()
        self.host.set_tool_delay(vm, "get-all", 2)
        during = self.bump()
        try:
            self.poll_until(lambda: (vm, "get-all") in self.sleeping_tools(), FEED_TIMEOUT,
                            f"the slow get-all of VM {vm}")
            self.host.stop_process(self.host.vm_pids[vm])
        finally:
            self.host.set_tool_delay(vm, "get-all", None)
        after = self.bump()
        try:
            # Its rctl ran after the process had gone: no resource use, the rest as usual.
            self.states[vm].cpu_with(fields={"memoryuse": "0", "vmemoryuse": "0", "pcpu": "0"})
            feed = self.feed_with(during)
            count = self.check_feed(feed, during)
        finally:
            del self.states[vm]
        # The next feed no longer lists it, though its tool answers and segments are still there.
        next_feed = self.feed_with(after)
        next_count = self.check_feed(next_feed, after)
        self.check_scrape(after)
        self.wait_quiet()
        self.check_no_strays()
        print(f"VM {vm} exits during a feed: that feed {feed.duration()} with {count} samples "
              f"(VM {vm} without resource use), the next {next_count} samples without VM {vm}",
              flush=True)

    def all_vms_gone(self):
        for vm in list(self.states):
            self.host.stop_process(self.host.vm_pids[vm])
            del self.states[vm]
        marker = self.bump()
        feed = self.feed_with(marker)
        count = self.check_feed(feed, marker)
        self.check_scrape(marker)
        print(f"all VMs gone: feed {feed.duration()}, {count} sample (the host's)", flush=True)

    def slow_influx(self):
        # With the VMs gone each feed posts one line, so each stalled POST shows by itself.
        timeout = ["Influx POST failed: Timeout was reached"]
        cases = (  # (mode, answer delay, errors, least feed duration, below this duration)
            ("hang", 0.0, timeout, POST_TIMEOUT, POST_TIMEOUT + 3),
            ("hang", 0.0, timeout, POST_TIMEOUT, POST_TIMEOUT + 3),
            ("slow", 1.0, [], 1.0, None),
            ("slow", 6.0, timeout, POST_TIMEOUT, POST_TIMEOUT + 3),
            ("ok", 0.0, [], 0.0, None),
        )
        try:
            for mode, delay, errors, least, below in cases:
                with self.subTest(influx=(mode, delay)):
                    self.influx.set_mode(mode, delay)
                    marker = self.bump()
                    # The store is replaced before the posts: scrapes show this feed at once,
                    # also while its POST is stalled.
                    self.check_scrape(marker)
                    feed = self.feed_with(marker, timeout=FEED_TIMEOUT + POST_TIMEOUT * 2)
                    self.check_feed(feed, marker)
                    self.assertEqual(feed.errors, errors)
                    if least:
                        self.assertIsNotNone(feed.overrun_us, "the feed did not wait")
                        self.assertGreaterEqual(feed.overrun_us, least * 1e6)
                    if below:
                        self.assertLess(feed.overrun_us, below * 1e6)
                    # The stalled server never reads the request; the slow ones do.
                    received = feed.lines[0] in self.influx.received()
                    self.assertEqual(received, mode != "hang")
                    print(f"Influx {mode}{f' {delay:g} s' if delay else ''}: feed "
                          f"{feed.duration()}, errors {errors or 'none'}, line "
                          f"{'read' if received else 'never read'} by the server, scrapes "
                          "answered meanwhile", flush=True)
        finally:
            self.influx.set_mode("ok")

    def resources_after_all(self):
        for attempt in range(3):
            self.wait_quiet()
            fds = self.descriptors()
            if fds == self.baseline_fds:
                break
        self.assertEqual(fds, self.baseline_fds, "descriptors differ from after the first feed")
        self.assertEqual(self.shm_mappings(), [])
        self.check_no_strays()
        self.assertEqual(self.daemon.stop(timeout=10), 0, self.daemon.log()[-3000:])
        self.assertEqual(self.daemon.log_lines("info", r"^Exiting$"), ["Exiting"])
        print(f"after all: {len(fds)} descriptors as after the first feed, no /dev/shm "
              "mapping, no child process; stopped with status 0", flush=True)

    def influx_hung_at_many_vms(self):
        """An Influx server that accepts and never answers, and 100 VMs: each feed gives up at
        the first post that times out instead of waiting that out for every line, the next feed
        tries again, and SIGTERM during such a post ends the daemon at once. The daemon of this
        scenario gets an interval that its collection fits into, so that the posts are tried."""
        vms = range(1, 101)
        for vm in vms:
            self.host.add_vm(vm)
        lines = 1 + 4 * len(vms)  # the host's sample, bhyve_cpu and three device samples a VM
        started = time.monotonic()
        config = harness.write_config("[prometheus]\nenabled = true\n", directory=self.work)
        self.assertEqual(harness.run_daemon(["-c", config, "-p"], timeout=300).returncode, 0)
        collection = time.monotonic() - started
        interval = int(collection * 1.5) + 3
        self.influx.set_mode("hang")
        config = du.daemon_config(harness.free_port(), interval=interval, influx={
            "url": self.influx.address, "database": "tarn", "user": "tarn", "password": "pw"})
        self.daemon.__exit__(None, None, None)
        self.daemon = du.Daemon(config, extra_args=("--dump-influx-metrics", "--log-size", "64M"),
                                directory=self.work)
        self.daemon.start()
        self.log = FeedLog(self.daemon.log_path)
        # SIGTERM while the first post of the second feed waits for its answer.
        self.poll_until(lambda: len(self.log.feeds) > 1, interval * 3, "a second feed")
        sent = time.monotonic()
        status = self.daemon.stop(timeout=10)
        took = time.monotonic() - sent
        self.assertEqual(status, 0, self.daemon.log()[-3000:])
        self.assertLess(took, 4.0 * (2 if os.environ.get("TARN_SANITIZE") else 1))
        self.log.poll()
        figures = []
        for feed in self.log.feeds:
            self.assertEqual(len(feed.lines), lines)
            self.assertEqual(feed.errors, ["Influx POST failed: Timeout was reached",
                                           f"Influx unreachable; skipped {lines - 1} lines of "
                                           "this feed"])
            posting = feed.last_error_logged - feed.first_logged
            self.assertLess(posting, POST_TIMEOUT + 1.0)
            figures.append(f"{posting:.2f}")
        print(f"Influx never answering, {len(vms)} VMs (a collection {collection:.1f} s, "
              f"interval {interval} s): feeds of {lines} lines ended {', '.join(figures)} s after "
              f"their collection; SIGTERM during the second feed's post ended the daemon with "
              f"status 0 after {took:.2f} s", flush=True)

if __name__ == "__main__":
    harness.require_binary()
    if not du.simhost_available():
        harness.skip("tests/sim/simhost.py is missing")
    simhost.enter_private_namespaces()
    unittest.main()
