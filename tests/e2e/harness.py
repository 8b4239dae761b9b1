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
