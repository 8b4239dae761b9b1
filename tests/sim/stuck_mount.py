"""A FUSE mount whose requests are read and never answered: a process touching a path below it
waits in the kernel and, once killed, stays in state D until the connection is aborted, as a host
tool blocked in a kernel call can. Its server process (no FUSE library) mounts, answers INIT and
then only reads; ending it aborts the connection and the stuck processes die.
Use: `with StuckMount(path):` (raises Unavailable where FUSE cannot be used)."""
import ctypes
import os
import struct
import subprocess
import sys


class Unavailable(Exception):
    pass


def serve(path):
    """The server process: prints "ready" once mounted, then reads requests until ended."""
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
    # Until INIT (26) is answered requests wait killably; after it, never answered, unkillably.
    _, opcode, unique = struct.unpack_from("<IIQ", os.read(fd, 1 << 17))
    if opcode != 26:
        sys.exit(f"first request {opcode}, not INIT")
    # fuse_init_out of protocol 7.31: major, minor, max_readahead, flags, max_background,
    # congestion_threshold, max_write, time_gran, max_pages, map_alignment, flags2, unused.
    answer = struct.pack("<IIIIHHIIHHI28x", 7, 31, 0, 0, 0, 0, 4096, 1, 0, 0, 0)
    os.write(fd, struct.pack("<IiQ", 16 + len(answer), 0, unique) + answer)
    print("ready", flush=True)
    try:
        while os.read(fd, 1 << 17):
            pass
    except OSError:  # the connection was aborted
        pass


class StuckMount:
    def __init__(self, path):
        self.path = os.path.realpath(path)
        self.proc = None

    def __enter__(self):
        if not os.path.exists("/dev/fuse"):
            raise Unavailable("no /dev/fuse")
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), self.path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if line != "ready":
            self.proc.wait(10)
            raise Unavailable(line or f"server ended ({self.proc.returncode})")
        return self

    def abort(self):
        """Fails every request of the mount: its stuck processes die. Ends the server."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)

    def __exit__(self, *exc):
        self.abort()
        subprocess.run(["umount", "-l", self.path], stderr=subprocess.DEVNULL)
        self.proc.stdout.close()


if __name__ == "__main__":
    serve(sys.argv[1])
