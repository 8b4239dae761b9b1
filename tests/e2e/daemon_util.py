"""Helpers of the end-to-end tests that run the daemon itself: isolation, start and stop, raw HTTP.

Every process started here is stopped by its owner's finally block or context exit (SIGTERM,
then SIGKILL after a time-out); the PID namespace ends whatever is left when the test exits.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIM_DIR = os.path.join(harness.SOURCE_DIR, "tests", "sim")
SYSCTL_DIR = "/run/tarn-vm-perfdata/sysctl"
HOSTNAME = socket.gethostname()
TSC = 2400000000  # the machdep.tsc_freq these tests give the daemon


def enter_private_namespaces():
    """Re-runs the calling test (root only) as PID 1 of private mount and PID namespaces.

    The daemon then sees only the processes of this test, the kernel settings written here
    live on a private /run, and every process still running dies with the test.
    """
    harness.require_root()
    harness.require_binary()
    if os.environ.get("TARN_TEST_IN_NAMESPACE") != "1":
        env = dict(os.environ, TARN_TEST_IN_NAMESPACE="1")
        os.execvpe("unshare", ["unshare", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--propagation", "private", sys.executable]
                   + sys.argv, env)
    harness.mount_tmpfs("/run")


def set_host_limits(delay_ms, rate_limit, burst_secs, tsc=TSC):
    # A FIFO left in place by a test would block the plain write below.
    for name in os.listdir(SYSCTL_DIR) if os.path.isdir(SYSCTL_DIR) else ():
        path = os.path.join(SYSCTL_DIR, name)
        if not os.path.isfile(path):
            os.remove(path)
    harness.set_sysctl("machdep.tsc_freq", tsc)
    harness.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", delay_ms)
    harness.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", rate_limit)
    harness.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", burst_secs)


def escape_label(value):
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def host_scrape(delay_seconds, rate_limit, burst_seconds, hz, prefix="tarn_vm", hostname=HOSTNAME):
    """The scrape of a host without VMs; the converted values are given as the expected texts."""
    labels = f'hostname="{escape_label(hostname)}",limit_class="1"'
    out = ""
    for exposed, source, value in (("delay_seconds", "delay_ms", delay_seconds),
                                   ("rate_limit", "rate_limit", rate_limit),
                                   ("burst_seconds", "burst_secs", burst_seconds),
                                   ("hz", "hz", hz)):
        name = f"{prefix}_host_cpu_limit_{exposed}"
        out += (f"# HELP {name} host_cpu_limit {source} (gauge)\n"
                f"# TYPE {name} gauge\n"
                f"{name}{{{labels}}} {value}\n")
    return out


def simhost_available():
    return os.path.exists(os.path.join(SIM_DIR, "simhost.py"))


def import_simhost():
    if SIM_DIR not in sys.path:
        sys.path.insert(0, SIM_DIR)
    import simhost  # noqa: E402
    return simhost


class Daemon:
    """The built daemon with a temporary config and log file; a context manager."""

    def __init__(self, config, extra_args=(), directory=None):
        self.dir = tempfile.mkdtemp(prefix="tarn-daemon-", dir=directory)
        self.config_path = os.path.join(self.dir, "tarn-node.conf")
        self.log_path = os.path.join(self.dir, "daemon.log")
        with open(self.config_path, "w") as f:
            f.write(config)
        self.args = [harness.BINARY, "-c", self.config_path, "--log-file", self.log_path] + list(
            extra_args)
        self.proc = None
        self.returncode = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False

    def start(self, wait_for="Started, ", timeout=10, ignored_signals=()):
        """ignored_signals: signals the daemon inherits ignored, as a supervisor may leave them."""
        self.stdout = open(os.path.join(self.dir, "stdout"), "wb")
        self.stderr = open(os.path.join(self.dir, "stderr"), "wb")
        ignore = lambda: [signal.signal(s, signal.SIG_IGN) for s in ignored_signals]  # noqa: E731
        self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=self.stdout,
                                     stderr=self.stderr, preexec_fn=ignore)
        if wait_for is not None and not self.wait_log(wait_for, timeout):
            raise AssertionError(f"daemon did not log {wait_for!r}; log:\n{self.log()}"
                                 f"\nstderr:\n{self.stderr_text()}")
        return self

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stderr_text(self):
        with open(os.path.join(self.dir, "stderr"), errors="replace") as f:
            return f.read()

    def log_lines(self, level, pattern):
        """The messages (after the time stamp and level) of one level that match pattern."""
        found = []
        for line in self.log().splitlines():
            m = re.fullmatch(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\w+)\] (.*)", line)
            if m and m.group(1) == level and re.search(pattern, m.group(2)):
                found.append(m.group(2))
        return found

    def wait_log(self, text, timeout=10, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.log().count(text) >= count:
                return True
            if self.proc is not None and self.proc.poll() is not None:
                return self.log().count(text) >= count
            time.sleep(0.02)
        return False

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait(self, timeout):
        """Waits for the exit; returns the status, or None if it is still running."""
        try:
            self.returncode = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.returncode

    def send(self, signum):
        if self.running():
            self.proc.send_signal(signum)

    def stop(self, timeout=5, signum=signal.SIGTERM):
        """Sends the signal and waits; returns the status, or None after it had to be killed."""
        self.send(signum)
        status = self.wait(timeout)
        if status is None:
            self.kill()
        return status

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in (getattr(self, "stdout", None), getattr(self, "stderr", None)):
            if f is not None and not f.closed:
                f.close()


def exchange(port, segments=(b"GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n",), host="127.0.0.1",
             pause=0.0, shut_write=False, timeout=15.0):
    """Sends the segments (pausing between them), reads until the server closes; returns bytes."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.settimeout(timeout)
        s.connect((host, port))
        for i, segment in enumerate(segments):
            if i and pause:
                time.sleep(pause)
            s.sendall(segment)
        if shut_write:
            s.shutdown(socket.SHUT_WR)
        chunks = []
        while True:
            try:
                data = s.recv(65536)
            except ConnectionResetError:
                break  # a server closing with unread request bytes resets; what came before counts
            if not data:
                break
            chunks.append(data)
        return b"".join(chunks)


def response(status, reason, content_type, body):
    """The exact bytes of one answer of the scrape server, written out header by header."""
    body = body.encode() if isinstance(body, str) else body
    return (f"HTTP/1.1 {status} {reason}\r\n"
            f"Content-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\n"
            "Connection: close\r\n"
            "\r\n").encode() + body


PLAIN = "text/plain; charset=utf-8"
EXPOSITION = "text/plain; version=0.0.4; charset=utf-8"
NOT_FOUND = (b"HTTP/1.1 404 Not Found\r\n"
             b"Content-Type: text/plain; charset=utf-8\r\n"
             b"Content-Length: 14\r\n"
             b"Connection: close\r\n"
             b"\r\n"
             b"404 Not Found\n")
NOT_ALLOWED = (b"HTTP/1.1 405 Method Not Allowed\r\n"
               b"Content-Type: text/plain; charset=utf-8\r\n"
               b"Content-Length: 23\r\n"
               b"Connection: close\r\n"
               b"\r\n"
               b"405 Method Not Allowed\n")


def ok(body):
    return response(200, "OK", EXPOSITION, body)


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def daemon_config(port, interval=1, listen=None, prefix=None, influx=None):
    """A config with the scrape server on 127.0.0.1:port; influx: dict of its keys, or off."""
    lines = ["[prometheus]", "enabled = true", f"listen = {listen or f'127.0.0.1:{port}'}"]
    if prefix is not None:
        lines.append(f"metrics_prefix = {prefix}")
    lines += ["[influx]", f"interval = {interval}"]
    if influx is None:
        lines.append("enabled = false")
    else:
        lines.append("enabled = true")
        lines += [f"{k} = {v}" for k, v in influx.items()]
    return "\n".join(lines) + "\n"


def processes():
    """{pid: (comm, state, ppid)} of every process in this PID namespace."""
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        close = stat.rindex(")")
        rest = stat[close + 2:].split()
        found[int(name)] = (stat[stat.index("(") + 1:close], rest[0], int(rest[1]))
    return found
