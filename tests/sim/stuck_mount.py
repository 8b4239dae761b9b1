"""A FUSE mount whose requests are read and never answered, for the simulated host.

A process that touches a path below it waits in the kernel; once killed it stays in uninterruptible
sleep (state D) until the connection is aborted, as a host tool blocked in a kernel call can (a
bhyvectl ioctl on a VM in trouble). No FUSE library is needed: a small server process of its own
opens /dev/fuse, mounts, answers the kernel's INIT and then only reads. Ending it (or writing to
the connection's abort file) fails every pending request, and the stuck processes die.

    with StuckMount(path):   # raises Unavailable where FUSE cannot be used
        ...
"""
import ctypes
import os
import struct
import subprocess
import sys

CONNECTIONS = "/sys/fs/fuse/connections"
FUSE_INIT = 26


class Unavailable(Exception):
    pass


def _connection_id(path):
    """The minor device number of the mount at path, which names its fusectl directory; read
    from mountinfo, since a stat of the mount point would itself wait for an answer."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if fields[4] == path and " - fuse " in line:
                return fields[2].split(":")[1]
    return None


def serve(path):
    """The server process: prints "ready ID" once mounted, then reads requests until ended."""
    try:
        fd = os.open("/dev/fuse", os.O_RDWR | os.O_CLOEXEC)
    except OSError as error:
        print(f"unavailable: /dev/fuse: {error.strerror}", flush=True)
        sys.exit(77)
    libc = ctypes.CDLL(None, use_errno=True)
    options = f"fd={fd},rootmode=40000,user_id=0,group_id=0,allow_other".encode()
    if libc.mount(b"tarn-stuck", path.encode(), b"fuse", 0, options) != 0:
        print(f"unavailable: mount: {os.strerror(ctypes.get_errno())}", flush=True)
        sys.exit(77)
    # Until INIT is answered, requests wait killably; after it they are read here and never
    # answered, which leaves their senders unkillable.
    request = os.read(fd, 1 << 17)
    _, opcode, unique = struct.unpack_from("<IIQ", request)
    if opcode != FUSE_INIT:
        sys.exit(f"first request {opcode}, not INIT")
    # fuse_init_out of protocol 7.31: major, minor, max_readahead, flags, max_background,
    # congestion_threshold, max_write, time_gran, max_pages, map_alignment, flags2, unused.
    answer = struct.pack("<IIIIHHIIHHI28x", 7, 31, 0, 0, 0, 0, 4096, 1, 0, 0, 0)
    os.write(fd, struct.pack("<IiQ", 16 + len(answer), 0, unique) + answer)
    print(f"ready {_connection_id(path)}", flush=True)
    try:
        while os.read(fd, 1 << 17):
            pass
    except OSError:  # the connection was aborted
        pass


class StuckMount:
    def __init__(self, path):
        self.path = os.path.realpath(path)
        self.proc = None
        self.connection = None

    def __enter__(self):
        if not os.path.exists("/dev/fuse"):
            raise Unavailable("no /dev/fuse")
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), self.path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if line[:1] != ["ready"]:
            self.proc.wait(10)
            raise Unavailable(" ".join(line) or f"server ended ({self.proc.returncode})")
        self.connection = line[1] if len(line) > 1 and line[1] != "None" else None
        return self

    def abort(self):
        """Fails every request of the mount: its stuck processes die. Also ends the server."""
        if self.connection:
            if not os.listdir(CONNECTIONS):  # fusectl is not mounted in this namespace yet
                subprocess.run(["mount", "-t", "fusectl", "fusectl", CONNECTIONS],
                               stderr=subprocess.DEVNULL)
            try:
                with open(os.path.join(CONNECTIONS, self.connection, "abort"), "w") as f:
                    f.write("1")
            except OSError:
                pass
        if self.proc.poll() is None:  # its /dev/fuse descriptor was the last: that aborts too
            self.proc.kill()
        self.proc.wait(10)

    def __exit__(self, *exc):
        self.abort()
        subprocess.run(["umount", "-l", self.path], stderr=subprocess.DEVNULL)
        self.proc.stdout.close()


if __name__ == "__main__":
    serve(sys.argv[1])
