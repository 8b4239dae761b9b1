"""The simulated FreeBSD host of the end-to-end tests, the benchmarks and the demo: inside private
mount and PID namespaces, fake bhyve processes with chosen argument vectors (fake_bhyve.cpp),
kernel settings as files below SYSCTL_DIR (read by platform/sysctl_linux.cpp), /usr/sbin/bhyvectl
and /usr/bin/rctl (overlays holding fake_host_tool.cpp, answering from files below FIXTURE_DIR)
and real POSIX shared-memory objects on a private /dev/shm."""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

SYSCTL_DIR = "/run/tarn-vm-perfdata/sysctl"
FIXTURE_DIR = "/run/tarn-vm-perfdata/fixtures"  # fixed in fake_host_tool.cpp
TSC = 2000000000
_SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def enter_private_namespaces(network=False):
    """Root only (else exit 77): re-runs the script once as PID 1 of private mount and PID
    namespaces (and network: a loopback of its own), so the daemon sees only this script's
    processes and all of them die with it."""
    if os.geteuid() != 0:
        print("SKIPPED: needs root (private mount and PID namespaces)")
        sys.exit(77)
    if os.environ.get("TARN_TEST_IN_NAMESPACE") != "1":
        os.execvpe("unshare", ["unshare", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--propagation", "private", *["--net"] * network,
                               sys.executable] + sys.argv,
                   dict(os.environ, TARN_TEST_IN_NAMESPACE="1"))


def fake_bhyve_path():
    build = os.environ.get("TARN_BUILD_DIR") or os.path.join(_SOURCE, "build", "release")
    return os.environ.get("TARN_FAKE_BHYVE") or os.path.join(build, "tests", "sim", "bhyve")


def _pairs(pairs):
    return " ".join(f"{a}/{b}" for a, b in pairs)


def standard_vm_texts(v, cores=2, rss=None, limit_class=1, limit_sleeps=None, blocks=None,
                      nets=None):
    """The fixtures of one complete VM v (keyword arguments of add_vm), derived from v: 1 socket,
    `cores` cores, rss v*10^6+1, wired 1000v, runtime v*10^9 TSC ticks, 3000v idle ticks, 7v
    limit sleeps, rctl memoryuse 100v / vmemoryuse 200v / pcpu v, vdc v+100, one block device 9
    (1000v/10v, 2000v/20v, 0/0, 100/500), one net device 4 (3000v/30v, 4000v/40v, 100/200, 1/2)
    and a balloon of v..v+10, with noise lines around them all. blocks: (device, [read, write,
    trim, limit (Mbit/s, iops)] pairs[, model]), slot device-9; nets: (device, [tx, rx, limits,
    drops] pairs), slot device-4."""
    rss = v * 1000000 + 1 if rss is None else rss
    limit_sleeps = 7 * v if limit_sleeps is None else limit_sleeps
    blocks = blocks or [(9, [(1000 * v, 10 * v), (2000 * v, 20 * v), (0, 0), (100, 500)])]
    nets = nets or [(4, [(3000 * v, 30 * v), (4000 * v, 40 * v), (100, 200), (1, 2)])]
    devices = ([f"devices of vm {v}"]
               + [f"block{b[0]}:0 {(b[2:] or ('virtio-blk',))[0]} {_pairs(b[1])}" for b in blocks]
               + [f"net{n[0]}:0 virtio-net {_pairs(n[1])}" for n in nets]
               + ["balloon0:0 virtio-balloon " + " ".join(map(str, range(v, v + 11))), "end"])
    return {
        "get_all": (f"vm: {v}\ncpu_topology:  sockets=1, cores={cores}, threads=1, maxcpus=16\n"
                    f"vcpu0 rip          0xffffffff80b5c2a4\nResident memory    {rss}\n"
                    f"Wired memory       {1000 * v}\ncapabilities       hlt_exit\n"),
        "vcpu_class": f"vcpu_class={limit_class}\n",
        "stats": (f"vcpu0 statistics\nvm exits due to external interrupt      118\n"
                  f"vcpu total runtime                      {v * 1000000000}\n"
                  f"number of ticks vcpu was idle           {3000 * v}\n"
                  f"sleeps in ms due to vcpu limit throttle {limit_sleeps}\n"),
        "rctl": f"cputime=12\nmemoryuse={100 * v}\nvmemoryuse={200 * v}\npcpu={v}\nopenfiles=4\n",
        # /vmc.vm.N: its "item" is the JSON text of an object holding "vdc".
        "vmc": ('{"version": 1, "item": "{\\"vdc\\": %d, \\"name\\": \\"x\\"}"}' % (v + 100)).encode(),
        "devices": ("\n".join(devices) + "\n").encode(),
    }


def _write_whole(path, data):
    """Written aside and renamed, so a feed running now reads it whole."""
    with open(path + ".new", "wb") as f:
        f.write(data if isinstance(data, bytes) else str(data).encode())
    os.rename(path + ".new", path)


class SimulatedHost:
    """Context manager; the caller is PID 1 of its namespaces (enter_private_namespaces)."""

    def __init__(self, sysctls=None):
        self.sysctls = {"machdep.tsc_freq": TSC, **(sysctls or {})}
        self.processes = {}  # pid -> Popen
        self.vm_pids = {}    # vm_id -> pid of its latest add_vm
        self.mounts = []

    def __enter__(self):
        try:
            self.root = tempfile.mkdtemp(prefix="tarn-simhost-")
            self._mount(self.root, "-t", "tmpfs", "tmpfs")
            self._mount("/dev/shm", "-t", "tmpfs", "-o", "mode=1777", "tmpfs")
            self._mount("/run", "-t", "tmpfs", "tmpfs")
            if os.path.isdir("/boot"):  # the kernel's config would give kern.hz a value
                self._mount("/boot", "-t", "tmpfs", "-o", "ro", "tmpfs")
            tool = os.path.join(os.path.dirname(fake_bhyve_path()), "fake_host_tool")
            for path in ("/usr/sbin/bhyvectl", "/usr/bin/rctl"):
                lower = os.path.dirname(path)
                layer = os.path.join(self.root, lower.replace("/", "_"))
                [os.makedirs(f"{layer}/{d}") for d in "uw"]
                self._mount(lower, "-t", "overlay", "overlay", "-o",
                            f"lowerdir={lower},upperdir={layer}/u,workdir={layer}/w")
                shutil.copyfile(tool, path)
                os.chmod(path, 0o755)
            for name, value in self.sysctls.items():
                self.set_sysctl(name, value)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for proc in self.processes.values():
            proc.kill()
            proc.wait()
        self.processes = {}
        for path in reversed(self.mounts):
            if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode:
                subprocess.run(["umount", "-l", path], stderr=subprocess.DEVNULL)
        self.mounts = []
        shutil.rmtree(self.root, ignore_errors=True)

    def _mount(self, path, *args):
        subprocess.run(["mount", *args, path], check=True)
        self.mounts.append(path)

    def set_sysctl(self, name, value):
        os.makedirs(SYSCTL_DIR, exist_ok=True)
        _write_whole(os.path.join(SYSCTL_DIR, name), f"{value}\n")

    def start_process(self, argv):
        """A fake bhyve process with exactly this argument vector; returns its pid."""
        proc = subprocess.Popen(argv, executable=fake_bhyve_path(), stdin=subprocess.DEVNULL)
        self.processes[proc.pid] = proc
        want = b"".join(a.encode() + b"\0" for a in argv)
        for _ in range(500):  # until the exec shows in /proc
            with contextlib.suppress(OSError), open(f"/proc/{proc.pid}/cmdline", "rb") as f:
                if f.read() == want:
                    return proc.pid
            time.sleep(0.01)
        raise RuntimeError(f"fake process {argv!r} did not start")

    def add_vm(self, vm_id, argv=None, **texts):
        """A fake bhyve process for VM vm_id plus its fixtures; returns its pid. Keyword
        arguments override standard_vm_texts(vm_id): get_all, vcpu_class, stats, rctl (text the
        tool prints, None: it fails), vmc and devices (the objects' bytes)."""
        texts = {**standard_vm_texts(vm_id), **texts}
        pid = self.vm_pids[vm_id] = self.start_process(argv or [f"bhyve: {vm_id}"])
        for tool, key in (("get-all", "get_all"), ("get-vcpu-class", "vcpu_class"),
                          ("get-stats", "stats"), ("rctl", "rctl")):
            self.set_tool(vm_id, tool, texts[key])
        self.write_shm(f"vmc.vm.{vm_id}", texts["vmc"])
        self.write_shm(f"bhyve.vm.{vm_id}.devices", texts["devices"])
        return pid

    def set_tool(self, vm_id, tool, text, status=0, delay=0, counter=False):
        """What a tool ("get-all", "get-vcpu-class", "get-stats" or "rctl", the latter for the VM's
        latest process) prints for VM vm_id (None: nothing, exit status 1), its exit status, a
        pause before it answers, whether it counts its calls ("@COUNT@" in text; the file of the
        count is returned)."""
        directory = os.path.join(FIXTURE_DIR, *(("pid", str(self.vm_pids[vm_id])) if
                                                  tool == "rctl" else ("vm", str(vm_id))))
        os.makedirs(directory, exist_ok=True)
        base = os.path.join(directory, tool)
        for suffix, value in ((".status", status), (".delay", delay or None),
                              (".counter", counter and 0), (".out", text)):
            if value is not None and value is not False:
                _write_whole(base + suffix, value)
            elif os.path.exists(base + suffix):
                os.remove(base + suffix)
        return base + ".counter"

    def write_shm(self, name, data):
        """The shared-memory object /name holding data."""
        _write_whole(os.path.join("/dev/shm", name.lstrip("/")), data)
