"""Shared parts of the whole-process benchmark scripts: arguments, the simulated host, timing.

Every script takes the build directory (default build/release) and --short; the ones that need a
simulated host re-run themselves as root in private mount and PID namespaces, so every process
they start (fake bhyve processes, the daemon, HTTP servers, wrk) dies with them.
"""
import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIP = 77

# The vCPU-limit settings of every simulated host here.
HOST_SETTINGS = {"kern.hz": 1000,
                 "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
                 "hw.vmm.vcpu_limit.class.1.rate_limit": 40,
                 "hw.vmm.vcpu_limit.class.1.burst_secs": 3}


def parse_args(description, extra=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("build_dir", nargs="?", default=os.path.join(SOURCE_DIR, "build", "release"),
                        help="build directory (default build/release)")
    parser.add_argument("--short", action="store_true", help="tiny sizes, about a second each")
    if extra:
        extra(parser)
    args = parser.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    return args


def built(build_dir, relative):
    path = os.path.join(build_dir, relative)
    if not os.access(path, os.X_OK):
        sys.exit(f"{path} is not built (cmake --build {build_dir})")
    return path


def use_build(build_dir):
    """Points the test helpers at this build; call before importing simhost or fixture."""
    os.environ["TARN_BINARY"] = built(build_dir, "tarn-vm-perfdata")
    os.environ["TARN_FAKE_BHYVE"] = built(build_dir, os.path.join("tests", "sim", "bhyve"))
    os.environ["TARN_BUILD_DIR"] = build_dir
    os.environ["TARN_SOURCE_DIR"] = SOURCE_DIR
    for directory in (os.path.join(SOURCE_DIR, "tests", "sim"),
                      os.path.join(SOURCE_DIR, "tests", "e2e")):
        if directory not in sys.path:
            sys.path.insert(0, directory)


def enter_namespaces():
    """Root only: re-runs the script as PID 1 of private mount and PID namespaces, once."""
    if os.geteuid() != 0:
        print("SKIPPED: needs root (simulated host in private namespaces)")
        sys.exit(SKIP)
    import simhost
    simhost.enter_private_namespaces()


def require_tool(name):
    for directory in ("/usr/bin", "/usr/sbin", "/bin", "/sbin"):
        path = os.path.join(directory, name)
        if os.access(path, os.X_OK):
            return path
    sys.exit(f"{name} is not installed (Debian package: {name})")


def add_vms(host, first, last):
    """Adds the standard VMs first..last (inclusive) to the simulated host."""
    for vm_id in range(first, last + 1):
        host.add_vm(vm_id)


def timed(argv, **kwargs):
    """Runs argv to its end; returns (wall seconds, CPU seconds of it and its children, result)."""
    import resource
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(argv, **kwargs)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, result


def median(values):
    return statistics.median(values)


def http_get(port, path="/metrics", timeout=30.0):
    """One GET over a fresh connection; returns (status code, body bytes)."""
    import http.client
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", path)
        answer = connection.getresponse()
        return answer.status, answer.read()
    finally:
        connection.close()


def wait_for(predicate, timeout, step=0.2):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def status_kib(pid, key):
    """A figure of /proc/PID/status given in KiB (VmRSS, VmHWM) or a plain count (Threads)."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def full_scrape(port, vms, daemon):
    """The first scrape that shows all the VMs; ends the benchmark when none comes in time."""
    def whole():
        status, body = http_get(port)
        return body if status == 200 and body.count(
            b"\ntarn_vm_bhyve_cpu_vm_cpus{") == vms else None
    document = wait_for(whole, timeout=60 + vms)
    if not document:
        sys.exit(f"the daemon never served {vms} VMs; log:\n{daemon.log()}")
    return document


@contextlib.contextmanager
def scraped_daemon(vms):
    """A simulated host of `vms` standard VMs and a daemon on it that has served them all once
    (interval an hour, so the document stays); yields (work directory, port, daemon, document).
    Call after enter_namespaces()."""
    import fixture as fx
    import simhost
    with tempfile.TemporaryDirectory() as work, \
            simhost.SimulatedHost(HOST_SETTINGS) as host:
        add_vms(host, 1, vms)
        port = fx.free_port()
        with fx.Daemon(fx.daemon_config(port, interval=3600), directory=work) as daemon:
            daemon.start(timeout=30)
            yield work, port, daemon, full_scrape(port, vms, daemon)
