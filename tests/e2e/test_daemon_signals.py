"""Stop signals of the running daemon: while it sleeps, during a feed (also a second signal while
it is already stopping), during start-up, and with a scrape connection open. One daemon starts
with SIGCHLD ignored, as a supervisor may leave it, and must still collect every VM.

Every case runs the built daemon on a simulated host with two VMs (the stop during a feed adds VMs
up to one more than the CPU collector serves at once), with the scrape server on and
--dump-influx-metrics, so each feed logs one "[influx]" line per sample and the log shows exactly
which feeds ran and what they held. Each case ends with "Exiting" and status 0 within the time
the daemon allows itself: about a second while sleeping, the rest of the feed when one is running.
Runs as root in private mount and PID namespaces.
"""
import contextlib
import ctypes
import os
import re
import shutil
import signal
import socket
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))
import daemon_util as du  # noqa: E402
import harness  # noqa: E402
import simhost  # noqa: E402

H = socket.gethostname()
TSC = 2000000000
SLEEP_BOUND = 2.0   # a 1-second sleep slice and the server's 1-second wait, run side by side
SLOW_TOOL = 2.0     # seconds the slow bhyvectl query of VM 1 takes
TSC_SETTING = os.path.join(simhost.SYSCTL_DIR, "machdep.tsc_freq")
SYS_TGKILL = {"x86_64": 234, "aarch64": 131}.get(os.uname().machine)
# epoll_wait, epoll_pwait and epoll_pwait2: what the scrape server waits in on Linux.
EPOLL_WAITS = {"x86_64": {232, 281, 441}, "aarch64": {22, 441}}.get(os.uname().machine, set())


def host_line():
    return (f"host_cpu_limit,hostname={H},limit_class=1 "
            f"delay_ms=250,rate_limit=40,burst_secs=3,hz={TSC}")


def cpu_line(v):
    # standard_vm_texts(v) with kern.hz 1000 and tsc 2 GHz: 3000v idle ticks are 3v seconds,
    # v*10^9 runtime ticks are v/2 seconds; one socket, two cores, one thread.
    runtime = f"{v // 2}.{5 if v % 2 else 0}00000"
    return (f"bhyve_cpu,vm_id={v},vdc_id={v + 100},hostname={H},limit_class=1 "
            f"memoryuse={100 * v},vmemoryuse={200 * v},pcpu={v},vm_cpus=2,idle_ticks={3 * v},"
            f"limit_sleeps={7 * v},vcpu_runtime={runtime},vm_rss={v * 1000000 + 1},"
            f"vm_wired={1000 * v}")


def device_lines(v):
    balloon = ("pages", "actual", "errors", "swap_in", "swap_out", "major_faults",
               "minor_faults", "free_memory", "total_memory", "avail_memory", "disk_caches")
    return [f"virtio_blk,vm_id={v},slot=0,hostname={H} read_bytes={1000 * v},read_iops={10 * v},"
            f"write_bytes={2000 * v},write_iops={20 * v},trim_bytes=0,trim_iops=0,"
            "limit_mbps=100,limit_iops=500",
            f"virtio_net,vm_id={v},slot=0,hostname={H} tx_bytes={3000 * v},tx_pps={30 * v},"
            f"rx_bytes={4000 * v},rx_pps={40 * v},tx_limit_mbps=100,rx_limit_mbps=200,"
            "tx_drops=1,rx_drops=2",
            f"virtio_balloon,vm_id={v},hostname={H} "
            + ",".join(f"{name}={v + k}" for k, name in enumerate(balloon))]


FULL_FEED = [host_line(), cpu_line(1), cpu_line(2)] + device_lines(1) + device_lines(2)
# The CPU side serves this many VMs at once, as the daemon counts its hardware threads.
CPU_WORKERS = min(8, os.cpu_count() or 1)
# A stop while every CPU worker is in a slow query of one of the first VMs: those VMs are
# finished, the next one is never started on the CPU side. The device side did all long before.
SLOW_VMS = range(1, CPU_WORKERS + 1)
CUT_FEED = ([host_line()] + [cpu_line(v) for v in SLOW_VMS]
            + [line for v in range(1, CPU_WORKERS + 2) for line in device_lines(v)])

LOG_LINE = re.compile(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\w+)\] (.*)")
INFLUX = re.compile(r"\[influx\] (.*) (\d+)")


def messages(daemon):
    """(level, message) of every log line; a line of another shape fails the test."""
    found = []
    for line in daemon.log().splitlines():
        m = LOG_LINE.fullmatch(line)
        if not m:
            raise AssertionError(f"log line of unknown shape: {line!r}")
        found.append((m.group(1), m.group(2)))
    return found


def feeds(entries):
    """The "[influx]" lines grouped by feed (all lines of one feed share one time stamp)."""
    groups = []
    last = None
    for level, message in entries:
        m = INFLUX.fullmatch(message)
        if not m:
            continue
        stamp = m.group(2)
        if len(stamp) != 19 or not stamp.endswith("000"):
            raise AssertionError(f"time stamp is not nanoseconds at microsecond steps: {message}")
        if stamp != last:
            groups.append([])
            last = stamp
        groups[-1].append(m.group(1))
    return groups


def processes_with(*words):
    """Pids of processes whose argument vector holds all the words."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/cmdline", "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if all(w.encode() in argv for w in words):
            found.append(int(name))
    return found


def threads_in(pid, syscalls):
    """Threads of pid (other than the main thread) blocked in one of the system calls."""
    found = []
    for name in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{name}/syscall") as f:
                number = f.read().split()[0]
        except (OSError, IndexError):
            continue
        if int(name) != pid and number.lstrip("-").isdigit() and int(number) in syscalls:
            found.append(int(name))
    return found


def send_to_thread(pid, tid, signum):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syscall(SYS_TGKILL, pid, tid, int(signum)) != 0:
        raise OSError(ctypes.get_errno(), f"tgkill({pid}, {tid}, {signum})")


def holds_open(pid, path):
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                return True
        except OSError:
            pass
    return False


class StopSignals(unittest.TestCase):
    def setUp(self):
        self.stack = contextlib.ExitStack()
        self.work = tempfile.mkdtemp(prefix="tarn-e2e-signals-")
        self.stack.callback(shutil.rmtree, self.work, ignore_errors=True)
        self.host = self.stack.enter_context(
            simhost.SimulatedHost(sysctls={"machdep.tsc_freq": TSC}))
        self.host.set_sysctl("kern.hz", 1000)
        self.host.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", 250)
        self.host.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 40)
        self.host.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", 3)
        self.host.add_vm(1)
        self.host.add_vm(2)
        self.port = harness.free_port()

    def tearDown(self):
        self.stack.close()

    def daemon(self, interval=10):
        daemon = self.stack.enter_context(
            du.Daemon(du.daemon_config(self.port, interval=interval), ["-i"],
                      directory=self.work))
        return daemon

    def started_line(self, daemon, interval=10):
        return (f"Started, config={daemon.config_path}, hostname={H}, tsc_freq={TSC}, "
                f"interval={interval}, prometheus=on (127.0.0.1:{self.port}), influx=off, "
                f"log={daemon.log_path} (10485760 bytes)")

    def wait_exit(self, daemon, bound):
        """Waits up to bound seconds; returns (status, seconds taken)."""
        started = time.monotonic()
        status = daemon.wait(bound)
        return status, time.monotonic() - started

    def assert_log(self, daemon, expected_feeds):
        entries = messages(daemon)
        self.assertEqual(entries[0], ("info", self.started_line(daemon)), daemon.log())
        self.assertEqual(entries[-1], ("info", "Exiting"), daemon.log())
        self.assertEqual(feeds(entries), expected_feeds)
        # Nothing else: no overrun, no warning, no error, one "Exiting".
        rest = [e for e in entries[1:-1] if not e[1].startswith("[influx] ")]
        self.assertEqual(rest, [], daemon.log())
        self.assertTrue(all(level == "info" for level, _ in entries))

    def wait_first_feed(self, daemon):
        self.assertTrue(daemon.wait_log("[influx] " + FULL_FEED[-1] + " ", 10), daemon.log())

    def test_signal_while_sleeping(self):
        # A signal to the process lands on the sleeping main thread; one sent to the scrape
        # server's thread leaves the main thread's sleep running, and the one-second slices
        # still end it in time.
        for signum, target, ignored in ((signal.SIGTERM, "process", ()),
                                        (signal.SIGINT, "process", (signal.SIGCHLD,)),
                                        (signal.SIGTERM, "server thread", ())):
            with self.subTest(signal=signum.name, to=target, ignored=ignored):
                daemon = self.daemon().start(ignored_signals=ignored)
                self.wait_first_feed(daemon)
                time.sleep(0.5)  # well into the 10-second sleep
                if target == "process":
                    daemon.send(signum)
                else:
                    if SYS_TGKILL is None or not EPOLL_WAITS:
                        self.skipTest(f"no tgkill number known for {os.uname().machine}")
                    pid = daemon.proc.pid
                    # Between feeds the server thread is the one waiting for connections; a
                    # sanitizer may add threads of its own, so it is picked by what it waits in.
                    waiting = du.wait_until(lambda: threads_in(pid, EPOLL_WAITS), 3, step=0.01)
                    self.assertEqual(len(waiting), 1, waiting)
                    send_to_thread(pid, waiting[0], signum)
                status, took = self.wait_exit(daemon, 10)
                self.assertEqual(status, 0, daemon.log())
                self.assertLess(took, SLEEP_BOUND, daemon.log())
                self.assert_log(daemon, [FULL_FEED])

    def test_signal_during_a_feed(self):
        # One signal, or a second one while the feed still runs: the feed ends the same way.
        for v in range(3, CPU_WORKERS + 2):
            self.host.add_vm(v)
        for signals in ((signal.SIGTERM,), (signal.SIGTERM, signal.SIGINT)):
            with self.subTest(signals=[s.name for s in signals]):
                for v in SLOW_VMS:
                    self.host.set_tool_delay(v, "get-all", SLOW_TOOL)
                daemon = self.daemon().start()
                self.assertTrue(du.wait_until(
                    lambda: all(processes_with("--get-all", f"--vm={v}") for v in SLOW_VMS), 5,
                    step=0.02), daemon.log())
                seen = time.monotonic()
                time.sleep(0.3)
                for signum in signals:
                    daemon.send(signum)
                    time.sleep(0.3)
                    self.assertTrue(daemon.running(), "a stop signal cut the feed short")
                status, _ = self.wait_exit(daemon, 10)
                took = time.monotonic() - seen
                self.assertEqual(status, 0, daemon.log())
                # The slow query is waited for, then no sleep of the 10-second interval follows.
                self.assertGreater(took, SLOW_TOOL - 0.1)
                self.assertLess(took, SLOW_TOOL + SLEEP_BOUND, daemon.log())
                self.assert_log(daemon, [CUT_FEED])
                for v in SLOW_VMS:
                    self.host.set_tool_delay(v, "get-all", None)

    def test_sigint_during_start_up(self):
        # The TSC setting is a FIFO that holds the daemon in its start-up read of
        # machdep.tsc_freq until the test writes it. Holding the FIFO open for writing first lets
        # the daemon's open return at once, so the signal finds it blocked in the read.
        os.remove(TSC_SETTING)
        os.mkfifo(TSC_SETTING)
        writer = os.open(TSC_SETTING, os.O_RDWR)
        try:
            daemon = self.daemon(interval=1)
            daemon.start(wait_for=None)
            self.assertTrue(du.wait_until(lambda: holds_open(daemon.proc.pid, TSC_SETTING), 5,
                                          step=0.02), daemon.stderr_text())
            daemon.send(signal.SIGINT)
            time.sleep(0.3)
            self.assertTrue(daemon.running(), "SIGINT ended the daemon before start-up finished")
            self.assertEqual(messages(daemon), [])  # still inside start-up
            os.write(writer, f"{TSC}\n".encode())
        finally:
            os.close(writer)
        status, took = self.wait_exit(daemon, 10)
        self.assertEqual(status, 0, daemon.log() + daemon.stderr_text())
        self.assertLess(took, SLEEP_BOUND, daemon.log())
        entries = messages(daemon)
        # Start-up completes, no feed runs, and the daemon shuts down.
        self.assertEqual(entries, [("info", self.started_line(daemon, interval=1)),
                                   ("info", "Exiting")])

    def test_open_scrape_connections_do_not_hold_the_stop(self):
        daemon = self.daemon().start()
        self.wait_first_feed(daemon)
        # Clients that send nothing or only part of a request: the server closes them on the
        # way out, unanswered, instead of waiting for their 8-second deadline.
        clients = [socket.create_connection(("127.0.0.1", self.port)) for _ in range(3)]
        try:
            clients[1].sendall(b"GET /metrics HTTP/1.1\r\n")
            time.sleep(0.3)
            daemon.send(signal.SIGTERM)
            status, took = self.wait_exit(daemon, 10)
            self.assertEqual(status, 0, daemon.log())
            self.assertLess(took, SLEEP_BOUND, daemon.log())
            for client in clients:
                client.settimeout(2)
                self.assertEqual(client.recv(65536), b"")
        finally:
            for client in clients:
                client.close()
        self.assert_log(daemon, [FULL_FEED])


if __name__ == "__main__":
    harness.require_binary()
    simhost.enter_private_namespaces()
    harness.enter_private_mount_namespace()
    unittest.main()
