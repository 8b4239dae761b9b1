"""A simulated bhyve host for the end-to-end tests and the demo.

Inside a private mount namespace it gives the daemon everything it reads on a real host:
fake bhyve processes with chosen command names and argument vectors, kernel settings, the
bhyvectl and rctl tools (one small compiled program, tests/sim/fake_host_tool.cpp, answering from
fixture files below FIXTURE_DIR), and the per-VM shared-memory objects on a private /dev/shm.

For full isolation from other tests' fake processes, call enter_private_namespaces() first
(a private PID namespace as well, so /proc lists only this test's processes); otherwise
harness.enter_private_mount_namespace() is enough.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

SYSCTL_DIR = "/run/tarn-vm-perfdata/sysctl"
# Where the fake tools look for their answers (fixed in fake_host_tool.cpp).
FIXTURE_DIR = "/run/tarn-vm-perfdata/fixtures"
TOOLS = ("get-all", "get-vcpu-class", "get-stats", "rctl")
DEFAULT_TSC_FREQ = 2000000000


def fake_bhyve_path():
    """The built fake bhyve program: TARN_FAKE_BHYVE, else the usual places in build trees."""
    path = os.environ.get("TARN_FAKE_BHYVE", "")
    if path and os.access(path, os.X_OK):
        return os.path.abspath(path)
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    for build in (os.environ.get("TARN_BUILD_DIR", ""), os.path.join(source, "build", "release"),
                  os.path.join(source, "build", "sim")):
        candidate = os.path.join(build, "tests", "sim", "bhyve") if build else ""
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RuntimeError("fake bhyve program not found (set TARN_FAKE_BHYVE)")


def fake_host_tool_path():
    """The built fake bhyvectl/rctl program, built next to the fake bhyve program."""
    path = os.path.join(os.path.dirname(fake_bhyve_path()), "fake_host_tool")
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"fake host tool not found at {path}")
    return path


def enter_private_namespaces():
    """Re-runs the calling script (root only) in private mount and PID namespaces, once.

    The script becomes PID 1 of its namespace with /proc remounted, so the daemon sees only the
    processes started here, and everything dies with the script. Sets the marker that makes
    harness.enter_private_mount_namespace() a no-op afterwards.
    """
    if os.geteuid() != 0:
        print("SKIPPED: needs root (private namespaces)")
        sys.exit(77)
    if os.environ.get("TARN_TEST_IN_NAMESPACE") != "1":
        env = dict(os.environ, TARN_TEST_IN_NAMESPACE="1")
        os.execvpe("unshare", ["unshare", "--mount", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--propagation", "private", sys.executable]
                   + sys.argv, env)


def _mount(*args):
    subprocess.run(["mount"] + list(args), check=True, stdout=subprocess.DEVNULL)


def _umount(path):
    if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["umount", "-l", path], stderr=subprocess.DEVNULL)


def _shm_path(name):
    name = name.lstrip("/")
    if not name or "/" in name:
        raise ValueError(f"bad shared-memory name {name!r}")
    return os.path.join("/dev/shm", name)


def block_record(device, pairs, second=0, model="virtio-blk"):
    """One block record: pairs = 4 (first, second) tuples (read, write, trim, limit)."""
    return f"block{device}:{second} {model} " + " ".join(f"{a}/{b}" for a, b in pairs)


def net_record(device, pairs, second=0, word="net"):
    """One network record: pairs = (tx bytes/pps, rx bytes/pps, tx/rx limit, tx/rx drops)."""
    return f"{word}{device}:{second} virtio-net " + " ".join(f"{a}/{b}" for a, b in pairs)


def balloon_record(values, number=0, second=0):
    """One balloon record of eleven values."""
    return f"balloon{number}:{second} virtio-balloon " + " ".join(str(v) for v in values)


def vmc_document(vdc):
    """The /vmc.vm.N document: "item" holds the JSON text of an object with "vdc"."""
    inner = '{\\"vdc\\": %d, \\"name\\": \\"vdc-%d\\"}' % (vdc, vdc)
    return ('{"version": 1, "item": "%s"}' % inner).encode()


def get_all_text(vm_id, sockets, cores, threads, rss, wired, maxcpus=16):
    """A short `bhyvectl --get-all` answer: the topology line and both memory lines."""
    return (f"vm: {vm_id}\n"
            f"cpu_topology:  sockets={sockets}, cores={cores}, threads={threads}, maxcpus={maxcpus}\n"
            f"Resident memory    {rss}\n"
            f"Wired memory       {wired}\n")


def stats_text(runtime, idle_ticks, limit_sleeps):
    """A short `bhyvectl --get-stats` answer with the three counters the daemon reads."""
    return ("vcpu0 statistics\n"
            f"vcpu total runtime                      {runtime}\n"
            f"number of ticks vcpu was idle           {idle_ticks}\n"
            f"sleeps in ms due to vcpu limit throttle {limit_sleeps}\n")


def standard_vm_texts(vm_id, sockets=1, cores=2, threads=1, rss=None, wired=None, limit_class=1,
                      runtime=None, idle_ticks=None, limit_sleeps=None, memoryuse=None,
                      vmemoryuse=None, pcpu=None, vdc=None, blocks=None, nets=None,
                      balloons=None):
    """The fixture texts of one complete VM, as keyword arguments of SimulatedHost.add_vm.

    Every figure defaults to a value derived from vm_id, so several VMs differ:
      rss = vm_id*1000000+1, wired = vm_id*1000, runtime = vm_id*1000000000 (TSC ticks),
      idle_ticks = vm_id*3000, limit_sleeps = vm_id*7, memoryuse = vm_id*100, vmemoryuse =
      vm_id*200, pcpu = vm_id, vdc = vm_id+100,
      blocks = [(9, [(vm_id*1000, vm_id*10), (vm_id*2000, vm_id*20), (0, 0), (100, 500)])],
      nets = [(4, [(vm_id*3000, vm_id*30), (vm_id*4000, vm_id*40), (100, 200), (1, 2)])],
      balloons = [[vm_id, vm_id+1, ..., vm_id+10]].
    blocks: list of (device, pairs) or (device, pairs, model); nets: (device, pairs) or
    (device, pairs, word); balloons: lists of eleven values. Records are written one per line
    in the order block, net, balloon, with noise lines around them.
    """
    rss = vm_id * 1000000 + 1 if rss is None else rss
    wired = vm_id * 1000 if wired is None else wired
    runtime = vm_id * 1000000000 if runtime is None else runtime
    idle_ticks = vm_id * 3000 if idle_ticks is None else idle_ticks
    limit_sleeps = vm_id * 7 if limit_sleeps is None else limit_sleeps
    memoryuse = vm_id * 100 if memoryuse is None else memoryuse
    vmemoryuse = vm_id * 200 if vmemoryuse is None else vmemoryuse
    pcpu = vm_id if pcpu is None else pcpu
    vdc = vm_id + 100 if vdc is None else vdc
    if blocks is None:
        blocks = [(9, [(vm_id * 1000, vm_id * 10), (vm_id * 2000, vm_id * 20), (0, 0), (100, 500)])]
    if nets is None:
        nets = [(4, [(vm_id * 3000, vm_id * 30), (vm_id * 4000, vm_id * 40), (100, 200), (1, 2)])]
    if balloons is None:
        balloons = [[vm_id + k for k in range(11)]]
    get_all = (f"vm: {vm_id}\n"
               f"cpu_topology:  sockets={sockets}, cores={cores}, threads={threads}, maxcpus=16\n"
               "vcpu0 rip          0xffffffff80b5c2a4\n"
               f"Resident memory    {rss}\n"
               f"Wired memory       {wired}\n"
               "capabilities       hlt_exit,mtrap_exit,pause_exit\n")
    stats = ("vcpu0 statistics\n"
             "vm exits due to external interrupt      118\n"
             f"vcpu total runtime                      {runtime}\n"
             f"number of ticks vcpu was idle           {idle_ticks}\n"
             f"sleeps in ms due to vcpu limit throttle {limit_sleeps}\n"
             "number of NMIs delivered to vcpu        0\n")
    rctl = (f"cputime=12\ndatasize=4096\nmemoryuse={memoryuse}\nvmemoryuse={vmemoryuse}\n"
            f"pcpu={pcpu}\nopenfiles=40\n")
    records = ["devices of vm %d" % vm_id]
    for entry in blocks:
        records.append(block_record(entry[0], entry[1], model=entry[2] if len(entry) > 2
                                    else "virtio-blk"))
    for entry in nets:
        records.append(net_record(entry[0], entry[1], word=entry[2] if len(entry) > 2 else "net"))
    for values in balloons:
        records.append(balloon_record(values))
    records.append("end")
    return {
        "get_all": get_all,
        "vcpu_class": f"vcpu_class={limit_class}\n",
        "stats": stats,
        "rctl": rctl,
        "vmc": vmc_document(vdc),
        "devices": ("\n".join(records) + "\n").encode(),
    }


_DEFAULT = object()

class SimulatedHost:
    """Context manager; the caller is already in a private mount namespace."""

    def __init__(self, sysctls=None):
        self.initial_sysctls = {"machdep.tsc_freq": DEFAULT_TSC_FREQ}
        if sysctls:
            self.initial_sysctls.update(sysctls)
        self.processes = {}     # pid -> Popen
        self.vm_pids = {}       # vm_id -> pid of the latest add_vm for it
        self.mounts = []        # in mounting order
        self.root = None
        self.fixtures = None
        self.links = None

    # -- set-up and tear-down ------------------------------------------------------------------

    def __enter__(self):
        try:
            self._setup()
        except BaseException:
            self._teardown()
            raise
        return self

    def __exit__(self, *exc):
        self._teardown()
        return False

    def _mount_here(self, path, *args):
        _mount(*args, path)
        self.mounts.append(path)

    def _setup(self):
        self.fake_bhyve = fake_bhyve_path()
        tool = fake_host_tool_path()
        self.root = tempfile.mkdtemp(prefix="tarn-simhost-")
        # Overlay layers and links live on one tmpfs of our own, the fixtures on the private /run.
        self._mount_here(self.root, "-t", "tmpfs", "tmpfs")
        self.links = os.path.join(self.root, "bin")
        os.makedirs(self.links)
        self._mount_here("/dev/shm", "-t", "tmpfs", "-o", "mode=1777", "tmpfs")
        self._mount_here("/run", "-t", "tmpfs", "tmpfs")
        self.fixtures = FIXTURE_DIR
        os.makedirs(os.path.join(self.fixtures, "vm"))
        os.makedirs(os.path.join(self.fixtures, "pid"))
        # The Linux sysctl layer falls back to the kernel's build config for kern.hz; hide it so an
        # unset setting is really unset, as on a host that lacks it.
        if os.path.isdir("/boot"):
            self._mount_here("/boot", "-t", "tmpfs", "-o", "ro", "tmpfs")
        for directory, name in (("/usr/sbin", "bhyvectl"), ("/usr/bin", "rctl")):
            layer = os.path.join(self.root, "overlay" + directory.replace("/", "_"))
            upper, work = os.path.join(layer, "upper"), os.path.join(layer, "work")
            os.makedirs(upper)
            os.makedirs(work)
            self._mount_here(directory, "-t", "overlay", "overlay", "-o",
                             f"lowerdir={directory},upperdir={upper},workdir={work}")
            path = os.path.join(directory, name)
            shutil.copyfile(tool, path)
            os.chmod(path, 0o755)
        for name, value in self.initial_sysctls.items():
            self.set_sysctl(name, value)

    def _teardown(self):
        for pid in list(self.processes):
            self.stop_process(pid)
        for path in reversed(self.mounts):
            _umount(path)
        self.mounts = []
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None

    # -- kernel settings -------------------------------------------------------------------------

    def set_sysctl(self, name, value):
        """Sets a kernel setting to the decimal text of value; None removes it."""
        os.makedirs(SYSCTL_DIR, exist_ok=True)
        path = os.path.join(SYSCTL_DIR, name)
        if value is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "w") as f:
                f.write(f"{value}\n")

    # -- processes -------------------------------------------------------------------------------

    def start_process(self, argv, comm="bhyve"):
        """Starts a fake process with exactly this argument vector and command name."""
        argv = list(argv)
        if not argv:
            raise ValueError("argv must not be empty")
        if comm == "bhyve":
            executable = self.fake_bhyve
        else:
            if not comm or "/" in comm or len(comm) > 15:
                raise ValueError(f"bad command name {comm!r}")
            executable = os.path.join(self.links, comm)
            if not os.path.exists(executable):
                os.symlink(self.fake_bhyve, executable)
        proc = subprocess.Popen(argv, executable=executable, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes[proc.pid] = proc
        try:
            self._check_process(proc, argv, comm)
        except BaseException:
            self.stop_process(proc.pid)
            raise
        return proc.pid

    def _check_process(self, proc, argv, comm):
        # The exec may not have happened yet right after fork; wait until /proc shows the program.
        import time
        expected = b"".join(a.encode() + b"\0" for a in argv)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                raise RuntimeError(f"fake process {argv!r} ended with {proc.returncode}")
            try:
                with open(f"/proc/{proc.pid}/comm", "rb") as f:
                    seen_comm = f.read().rstrip(b"\n").decode()
                with open(f"/proc/{proc.pid}/cmdline", "rb") as f:
                    seen_argv = f.read()
            except OSError:
                seen_comm, seen_argv = None, None
            if seen_comm == comm and seen_argv == expected:
                return
            time.sleep(0.005)
        raise RuntimeError(f"fake process {argv!r} shows comm {seen_comm!r}, argv {seen_argv!r}")

    def stop_process(self, pid):
        proc = self.processes.pop(pid, None)
        if proc is None:
            return
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
        proc.wait()
        shutil.rmtree(os.path.join(self.fixtures, "pid", str(pid)), ignore_errors=True)
        for vm_id, vm_pid in list(self.vm_pids.items()):
            if vm_pid == pid:
                del self.vm_pids[vm_id]

    # -- VMs -------------------------------------------------------------------------------------

    def add_vm(self, vm_id, argv=None, get_all=_DEFAULT, vcpu_class=_DEFAULT, stats=_DEFAULT,
               rctl=_DEFAULT, rctl_status=0, vmc=_DEFAULT, devices=_DEFAULT):
        """Starts a fake bhyve process for VM vm_id and publishes its fixtures; returns its pid.

        Text arguments are what the tool prints (None: nothing, exit status 1); vmc and devices
        are the bytes of the shared-memory objects (None: no object). Omitted ones take the
        standard_vm_texts(vm_id) values.
        """
        standard = standard_vm_texts(vm_id)
        pick = lambda value, key: standard[key] if value is _DEFAULT else value  # noqa: E731
        pid = self.start_process(argv if argv is not None else [f"bhyve: {vm_id}"])
        self.vm_pids[vm_id] = pid
        self.set_tool_output(vm_id, "get-all", pick(get_all, "get_all"))
        self.set_tool_output(vm_id, "get-vcpu-class", pick(vcpu_class, "vcpu_class"))
        self.set_tool_output(vm_id, "get-stats", pick(stats, "stats"))
        self.set_rctl_output(pid, pick(rctl, "rctl"), rctl_status)
        for name, data in ((f"/vmc.vm.{vm_id}", pick(vmc, "vmc")),
                           (f"/bhyve.vm.{vm_id}.devices", pick(devices, "devices"))):
            if data is None:
                self.remove_shm(name)
            else:
                self.write_shm(name, data)
        return pid

    def set_tool_output(self, vm_id, tool, text, status=0):
        """What a tool prints for VM vm_id (None: nothing, exit status 1). For "rctl" it applies
        to the process of the latest add_vm for vm_id."""
        if tool not in TOOLS:
            raise ValueError(f"unknown tool {tool!r}")
        if tool == "rctl":
            self.set_rctl_output(self.vm_pids[vm_id], text, status)
            return
        self._write_fixture(os.path.join(self.fixtures, "vm", str(int(vm_id))), tool, text, status)

    def _tool_directory(self, vm_id, tool):
        """Where a tool's per-VM fixture files live: by VM number, for rctl by the VM's pid."""
        if tool not in TOOLS:
            raise ValueError(f"unknown tool {tool!r}")
        if tool == "rctl":
            return os.path.join(self.fixtures, "pid", str(int(self.vm_pids[vm_id])))
        return os.path.join(self.fixtures, "vm", str(int(vm_id)))

    def set_tool_delay(self, vm_id, tool, seconds):
        """Makes a tool pause this many seconds (fractions allowed) before it answers for VM
        vm_id, as a slow or busy host tool would; None or 0 removes the pause. For "rctl" it
        applies to the process of the latest add_vm for vm_id. The daemon kills a host command
        that has not finished after 5 seconds, so longer pauses make the tool's answer absent."""
        directory = self._tool_directory(vm_id, tool)
        path = os.path.join(directory, tool + ".delay")
        if not seconds:
            if os.path.exists(path):
                os.remove(path)
            return
        if seconds < 0:
            raise ValueError(f"bad delay {seconds!r}")
        os.makedirs(directory, exist_ok=True)
        with open(path, "w") as f:
            f.write(f"{float(seconds):g}\n")

    def set_tool_signal(self, vm_id, tool, signal_name):
        """Makes a tool die by a signal (a name such as "SEGV" or "KILL") right after it has
        printed its output for VM vm_id; None removes it. For "rctl" it applies to the process
        of the latest add_vm for vm_id."""
        directory = self._tool_directory(vm_id, tool)
        path = os.path.join(directory, tool + ".signal")
        if signal_name is None:
            if os.path.exists(path):
                os.remove(path)
            return
        if not isinstance(signal_name, str) or not signal_name.isalnum():
            raise ValueError(f"bad signal name {signal_name!r}")
        os.makedirs(directory, exist_ok=True)
        with open(path, "w") as f:
            f.write(signal_name + "\n")

    def set_tool_counter(self, vm_id, tool):
        """Makes a tool count its calls for VM vm_id: each call raises the number in the returned
        file by one and prints it in place of every "@COUNT@" of its output. For "rctl" it
        applies to the process of the latest add_vm for vm_id."""
        directory = self._tool_directory(vm_id, tool)
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, tool + ".counter")
        with open(path, "w") as f:
            f.write("0\n")
        return path

    def set_rctl_output(self, pid, text, status=0):
        """What rctl prints for process pid (None: nothing, exit status 1)."""
        self._write_fixture(os.path.join(self.fixtures, "pid", str(int(pid))), "rctl", text,
                            status)

    @staticmethod
    def _write_fixture(directory, tool, text, status):
        os.makedirs(directory, exist_ok=True)
        out = os.path.join(directory, tool + ".out")
        if text is None:
            if os.path.exists(out):
                os.remove(out)
            return
        with open(os.path.join(directory, tool + ".status"), "w") as f:
            f.write(f"{int(status)}\n")
        with open(out, "wb") as f:
            f.write(text.encode() if isinstance(text, str) else text)

    # -- shared memory ---------------------------------------------------------------------------

    def write_shm(self, name, data):
        """Creates or replaces the POSIX shared-memory object name ("/x") holding exactly data."""
        path = _shm_path(name)
        temporary = path + ".tmp-simhost"
        fd = os.open(temporary, os.O_CREAT | os.O_RDWR | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        try:
            view = memoryview(bytes(data))
            while view:
                view = view[os.write(fd, view):]
        finally:
            os.close(fd)
        os.rename(temporary, path)

    def remove_shm(self, name):
        try:
            os.unlink(_shm_path(name))
        except FileNotFoundError:
            pass
