"""The daemon fixture of the end-to-end tests and benchmarks: the built binary on the simulated
host (tests/sim/simhost.py), its config and log, raw HTTP, and a small case runner. Whatever a
test leaves running ends with its PID namespace."""
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import traceback

SOURCE_DIR = os.environ.get("TARN_SOURCE_DIR") or os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sim"))
import simhost  # noqa: E402

BINARY = os.environ.get("TARN_BINARY", "")
SLACK = 5.0 if os.environ.get("TARN_SANITIZE") else 1.0  # sanitizer builds run slower
HOST = socket.gethostname()
GET = b"GET /metrics HTTP/1.1\r\nHost: t\r\n\r\n"
LOG_LINE = re.compile(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[(\w+)\] (.*)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def daemon_config(port, interval=1, influx=None):
    """Scrape server on 127.0.0.1:port (None: off); influx: dict of its keys, or off."""
    text = ("[prometheus]\nenabled = false\n" if port is None else
            f"[prometheus]\nlisten = 127.0.0.1:{port}\n") + (f"[influx]\ninterval = {interval}\n"
            f"enabled = {'false' if influx is None else 'true'}\n")
    return text + "".join(f"{k} = {v}\n" for k, v in (influx or {}).items())


def dump(config="[influx]\nenabled = false\n", args=("-p",), sigchld=signal.SIG_DFL,
         wrapper=()):
    """One run of the daemon (under wrapper, a command prefix) to its end, by default the one-shot
    scrape; CompletedProcess."""
    with tempfile.NamedTemporaryFile("w", suffix=".conf") as f:
        f.write(config)
        f.flush()
        return subprocess.run([*wrapper, BINARY, "-c", f.name, *args], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60 * SLACK,
                              preexec_fn=lambda: signal.signal(signal.SIGCHLD, sigchld))


class Daemon:
    """The running daemon with its own config and log file; a context manager."""

    def __init__(self, config, extra_args=(), directory=None):
        self.dir = tempfile.mkdtemp(prefix="tarn-daemon-", dir=directory)
        self.log_path = os.path.join(self.dir, "daemon.log")
        with open(os.path.join(self.dir, "tarn-node.conf"), "w") as f:
            f.write(config)
        self.args = [BINARY, "-c", os.path.join(self.dir, "tarn-node.conf"),
                     "--log-file", self.log_path, *extra_args]
        self.proc = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop(timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, wait_for="Started, ", timeout=10):
        """Waits until the log file shows wait_for (info lines are flushed at once)."""
        with open(os.path.join(self.dir, "stderr"), "wb") as err:
            self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=err)
        if wait_for and not self.wait_log(wait_for, timeout * SLACK):
            raise AssertionError(f"daemon did not log {wait_for!r}; log:\n{self.log()}")
        return self

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def log_lines(self, level, pattern):
        """The messages of one level that match pattern."""
        return [m.group(2) for m in map(LOG_LINE.fullmatch, self.log().splitlines())
                if m and m.group(1) == level and re.search(pattern, m.group(2))]

    def wait_log(self, text, timeout=10, count=1):
        deadline = time.monotonic() + timeout
        while self.log().count(text) < count:
            if time.monotonic() > deadline or not self.running():
                return self.log().count(text) >= count
            time.sleep(0.02)
        return True

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout=5, signum=signal.SIGTERM):
        """Sends the signal; the exit status, or None when it had to be killed after timeout."""
        if self.proc is None:
            return None
        if self.running():
            self.proc.send_signal(signum)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


def wait_for(what, timeout, step=0.05):
    """what()'s first true value within timeout seconds (times SLACK), else its last value."""
    deadline = time.monotonic() + timeout * SLACK
    while not (value := what()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def exchange(port, data=GET, timeout=10.0, wrap=None):
    """Sends data (over wrap(socket), e.g. TLS), reads until the server closes; the bytes."""
    with socket.create_connection(("127.0.0.1", port), timeout * SLACK) as raw, (
            wrap(raw) if wrap else raw) as s:
        s.sendall(data)
        chunks = []
        try:
            while chunk := s.recv(65536):
                chunks.append(chunk)
        except (ssl.SSLEOFError, ConnectionResetError):
            pass
        return b"".join(chunks)


def taken_by_daemon(port, client):
    """Whether the daemon listening on port has accepted the client socket's connection and read
    all it sent: the daemon's side, in /proc/net/tcp, has a descriptor (an inode) and an empty
    receive queue. Counting the daemon's descriptors instead races with its host tools' pipes."""
    ends = f":{port:04X}", f":{client.getsockname()[1]:04X}"
    with open("/proc/net/tcp") as f:
        return any(row[1].endswith(ends[0]) and row[2].endswith(ends[1]) and row[9] != "0" and
                   row[4].endswith(":00000000") for row in map(str.split, f.readlines()[1:]))


def body(answer):
    head, _, rest = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n"), answer[:200]
    assert f"Content-Length: {len(rest)}\r\n".encode() in head, head
    return rest


def main(cases, root=True):
    """Runs every case (a function) and reports each; exit 1 when any failed, 77 without root."""
    if not BINARY or not os.access(BINARY, os.X_OK):
        print("SKIPPED: TARN_BINARY does not name the built daemon (run through ctest)")
        sys.exit(77)
    if root:
        simhost.enter_private_namespaces()
    failed = []
    for case in cases:
        start = time.monotonic()
        try:
            case()
            outcome = "ok"
        except Exception:
            traceback.print_exc()
            outcome = "FAILED"
            failed.append(case.__name__)
        print(f"{outcome}: {case.__name__} ({time.monotonic() - start:.1f} s)", flush=True)
    sys.exit(1 if failed else 0)
