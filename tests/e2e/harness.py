"""Shared helpers of the end-to-end tests: where the built daemon is, configs, ports, skipping."""
import os
import socket
import subprocess
import sys
import tempfile

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests

BINARY = os.environ.get("TARN_BINARY", "")
BUILD_DIR = os.environ.get("TARN_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("TARN_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def require_root():
    if os.geteuid() != 0:
        skip("needs root (private mount namespaces)")


def require_binary():
    if not BINARY or not os.access(BINARY, os.X_OK):
        skip("TARN_BINARY does not name the built daemon (run through ctest)")


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def write_config(text, directory=None):
    fd, path = tempfile.mkstemp(suffix=".conf", dir=directory)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    return path


def run_daemon(args, timeout=30, stdin=subprocess.DEVNULL, **kwargs):
    """Runs the daemon to completion; returns the CompletedProcess with bytes output."""
    return subprocess.run([BINARY] + list(args), stdin=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, **kwargs)


def run_with_terminal_stderr(args, timeout=30):
    """Runs the daemon with stderr on a pseudo-terminal; returns (status, stdout bytes, terminal text)."""
    import pty
    import select
    import time
    master, slave = pty.openpty()
    proc = subprocess.Popen([BINARY] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=slave)
    os.close(slave)
    chunks = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:  # the terminal closed with the last writer
                break
            if not data:
                break
            chunks.append(data)
        elif proc.poll() is not None:
            break
    out, _ = proc.communicate(timeout=max(1, deadline - time.monotonic()))
    os.close(master)
    return proc.returncode, out, b"".join(chunks).decode(errors="replace").replace("\r\n", "\n")


def enter_private_mount_namespace():
    """Re-runs the calling test inside private mount and PID namespaces (root only), once.

    The PID namespace, with /proc mounted anew, keeps the fake bhyve processes of tests running
    at the same time out of the process table this test's daemon reads."""
    require_root()
    if os.environ.get("TARN_TEST_IN_NAMESPACE") != "1":
        env = dict(os.environ, TARN_TEST_IN_NAMESPACE="1")
        os.execvpe("unshare", ["unshare", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--propagation", "private", sys.executable]
                   + sys.argv, env)


def isolate_process_table():
    """As root, runs the calling test in its own PID namespace (see above); else as it is, where
    a concurrently running test's fake bhyve processes may be seen."""
    if os.geteuid() == 0:
        enter_private_mount_namespace()


def mount_tmpfs(path):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", path], check=True)


def set_sysctl(name, value):
    """Sets (or with None removes) a kernel setting as the daemon's sysctl layer reads it here."""
    directory = "/run/tarn-vm-perfdata/sysctl"
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, name)
    if value is None:
        if os.path.exists(path):
            os.remove(path)
    else:
        with open(path, "w") as f:
            f.write(f"{value}\n")


def promtool_check(text):
    """Returns (ok, output) of promtool check metrics over the text."""
    proc = subprocess.run(["promtool", "check", "metrics"], input=text, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=60)
    return proc.returncode == 0, proc.stdout.decode(errors="replace")
