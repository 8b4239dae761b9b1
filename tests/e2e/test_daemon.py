"""The running daemon's scrape server, among hostile local clients, and its stop signals, on a
simulated host whose scrape (4 VMs with 40 block and 40 network devices each, about 200 KB; 20
for the slow readers, about 1 MB) is too large to go out at once to a client with a small
window. Root only (private namespaces)."""
import os
import resource
import signal
import socket
import struct
import threading
import time

import fixture as fx
from fixture import simhost

VMS = (1, 2, 3, 4)
PLAIN = b"Content-Type: text/plain; charset=utf-8\r\n"
NOT_FOUND = (b"HTTP/1.1 404 Not Found\r\n" + PLAIN + b"Content-Length: 14\r\n"
             b"Connection: close\r\n\r\n404 Not Found\n")
NOT_ALLOWED = (b"HTTP/1.1 405 Method Not Allowed\r\n" + PLAIN + b"Content-Length: 23\r\n"
               b"Connection: close\r\n\r\n405 Method Not Allowed\n")
EMPTY = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
         b"Content-Length: 0\r\nConnection: close\r\n\r\n")
JUNK = b"x" * 100000  # more than the server reads: left unread when the answer is done


def build_host(host, vms=VMS):
    for v in vms:
        blocks = [(9 + d, [(v * 1000 + d, d), (d, 2 * d), (0, 0), (100, 500)]) for d in range(40)]
        nets = [(4 + d, [(v * 3000 + d, d), (d, 3 * d), (100, 200), (1, 2)]) for d in range(40)]
        host.add_vm(v, devices=simhost.standard_vm_texts(v, blocks=blocks, nets=nets)["devices"])


def started(port, daemon=None, last_vm=VMS[-1]):
    daemon = daemon or fx.Daemon(fx.daemon_config(port)).start()
    # The store is empty until the first feed has finished.
    deadline = time.monotonic() + 10 * fx.SLACK
    while f'vm_rss{{vm_id="{last_vm}"'.encode() not in fx.exchange(port):
        assert time.monotonic() < deadline and daemon.running(), daemon.log()
        time.sleep(0.1)
    return daemon


def test_requests_and_hostile_clients():
    with simhost.SimulatedHost() as host:
        build_host(host)
        want = fx.dump().stdout
        assert len(want) > 200000, len(want)
        port = fx.free_port()
        # Until the first feed has finished the store is empty (the first feed waits for a tool).
        stats = simhost.standard_vm_texts(1)["stats"]
        host.set_tool(1, "get-stats", stats, delay=1.5 * fx.SLACK)
        with fx.Daemon(fx.daemon_config(port)).start() as daemon:
            assert fx.exchange(port) == EMPTY
            host.set_tool(1, "get-stats", stats)
            started(port, daemon)
            # (request, expected answer; None: the scrape). The answer comes whole also when
            # request bytes are left unread: a body, a pipelined request, an endless header.
            for request, answer in [
                    (fx.GET, None),
                    (b"GET /metrics?x=1 HTTP/1.0\r\n\r\n", None),
                    (b"GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + JUNK, None),
                    (fx.GET + b"GET /metrics HTTP/1.1\r\n\r\n" * 4000, None),
                    (b"GET /metrics HTTP/1.1\r\nX: " + JUNK, None),
                    (b"POST /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + JUNK,
                     NOT_ALLOWED),
                    (b"HEAD /metrics HTTP/1.1\r\n\r\n", NOT_ALLOWED),
                    (b"get /metrics HTTP/1.1\r\n\r\n", NOT_ALLOWED),
                    (b"\r\n\r\n", NOT_ALLOWED),
                    (b"GET /metrics/ HTTP/1.1\r\n\r\n", NOT_FOUND),
                    (b"GET /Metrics HTTP/1.1\r\n\r\n", NOT_FOUND),
                    (b"GET / HTTP/1.1\r\n\r\n", NOT_FOUND),
                    (b"GET\r\n\r\n", NOT_FOUND)]:
                got = fx.exchange(port, request)
                assert (fx.body(got) == want) if answer is None else got == answer, \
                    (request[:60], len(got), got[:300])

            # Idle connections held open, and a client that reads its answer slowly...
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(40)]
            slow = {}
            reader = threading.Thread(target=lambda: slow.update(
                got=fx.exchange(port, rcvbuf=4096, timeout=7)))
            reader.start()
            try:
                time.sleep(0.3)
                # ...while a normal scrape still gets its whole answer at once.
                start = time.monotonic()
                got = fx.body(fx.exchange(port))
                took = time.monotonic() - start
                assert got == want and took < 1.0 * fx.SLACK, took
                reader.join(10 * fx.SLACK)
                assert fx.body(slow.get("got", b"")) == want, slow.get("got", b"")[:300]
            finally:
                for s in idle:
                    s.close()

            # A scraper that half-closes, then vanishes (RST) in the middle of its answer.
            for _ in range(3):
                with socket.socket() as s:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
                    s.settimeout(10 * fx.SLACK)
                    s.connect(("127.0.0.1", port))
                    s.sendall(fx.GET)
                    s.shutdown(socket.SHUT_WR)
                    s.recv(1000)
                    time.sleep(0.2)
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                time.sleep(0.2)
            assert daemon.running(), f"daemon ended ({daemon.proc.poll()}):\n{daemon.log()}"
            assert fx.body(fx.exchange(port)) == want
            assert daemon.stop() == 0 and daemon.log().endswith("[info] Exiting\n"), daemon.log()


def read_slowly(port, chunks, window, pace):
    """Asks for the scrape with a small window and segments, so that the answer cannot go out at
    once, and takes `window` bytes every `pace` seconds."""
    try:
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
            s.settimeout(10 * fx.SLACK)
            s.connect(("127.0.0.1", port))
            s.sendall(fx.GET)
            while chunk := s.recv(window):
                chunks.append(chunk)
                time.sleep(pace)
    except OSError as error:
        chunks.append(repr(error).encode())


def test_stop_signals():
    # (signal, seconds one host tool takes: the signal comes while sleeping or during a feed)
    for signum, tool_delay in ((signal.SIGTERM, 0), (signal.SIGINT, 0),
                               (signal.SIGTERM, 2.0)):
        with simhost.SimulatedHost() as host:
            build_host(host)
            port = fx.free_port()
            with started(port) as daemon:
                if tool_delay:
                    host.set_tool(1, "get-stats", simhost.standard_vm_texts(1)["stats"],
                                  delay=tool_delay)
                    assert daemon.wait_log("Feed took", 10 * fx.SLACK)  # overrun: in a feed
                time.sleep(0.5)
                start = time.monotonic()
                status = daemon.stop(timeout=(2 + tool_delay) * fx.SLACK + 1, signum=signum)
                took = time.monotonic() - start
                assert status == 0 and daemon.log().endswith("[info] Exiting\n"), \
                    (signum, status, daemon.log()[-2000:])
                print(f"  {signum.name}, tool pause {tool_delay} s: stopped in {took:.1f} s")


def cpu_seconds(pid):
    """User and system time of the whole process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors():
    with simhost.SimulatedHost() as host:
        build_host(host)
        port = fx.free_port()
        with started(port) as daemon:
            pid = daemon.proc.pid
            limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            in_use = len(os.listdir(f"/proc/{pid}/fd"))
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (in_use + 8, limits[1]))
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(20)]
            try:
                # Connections wait that cannot be accepted: the server thread must not spin.
                time.sleep(0.5)
                before = cpu_seconds(pid)
                time.sleep(2)
                used = cpu_seconds(pid) - before
                warnings = daemon.log_lines("warning", "^Cannot accept connections on ")
                print(f"  out of descriptors: {used:.2f} CPU-s in 2 s; {warnings}")
                assert used < 0.5 and len(warnings) == 1, (used, warnings)  # a spin takes ~2
            finally:
                for s in idle:
                    s.close()
            fx.body(fx.exchange(port))  # the idle ones gone, scrapes are taken again
            resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)


def orphans_holding_data(port):
    """Sockets of the daemon's port that no process holds any more (inode 0) but that still have
    bytes to send: answers the kernel keeps for clients after the daemon closed them."""
    count = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            send_queue = int(fields[4].split(":")[0], 16)
            count += local_port == port and send_queue > 0 and fields[9] == "0"
    return count


def big_scrape_daemon(host, port):
    """The daemon on a host of 20 VMs (a scrape of about 1 MB), once its first feed is in."""
    vms = range(1, 21)
    build_host(host, vms)
    daemon = fx.Daemon(fx.daemon_config(port, interval=5)).start()
    return started(port, daemon, last_vm=vms[-1])


def test_slow_readers():
    """Many clients ask for a 1 MB scrape with a tiny receive window and read nothing, a new one
    every 1/rate s: scrapes in between are still answered, nearly all within a second."""
    seconds, rate = (8, 25) if fx.SLACK > 1 else (20, 50)
    with simhost.SimulatedHost() as host:
        port = fx.free_port()
        with big_scrape_daemon(host, port) as daemon:
            want = fx.body(fx.exchange(port))
            assert len(want) > 900000, len(want)
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
            readers = []

            def attack():
                start = time.monotonic()
                for i in range(seconds * rate):
                    time.sleep(max(0.0, start + i / rate - time.monotonic()))
                    s = socket.socket()
                    readers.append(s)
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)  # the least allowed
                    s.settimeout(1.0)
                    try:
                        s.connect(("127.0.0.1", port))
                        s.sendall(fx.GET)
                    except OSError:
                        pass

            attacker = threading.Thread(target=attack)
            attacker.start()
            scrapes = answered = 0
            try:
                while attacker.is_alive():
                    start = time.monotonic()
                    try:
                        ok = fx.body(fx.exchange(port, timeout=1.0)) == want
                    except (OSError, AssertionError):
                        ok = False
                    took = time.monotonic() - start
                    scrapes += 1
                    answered += ok and took < 1.0 * fx.SLACK
                    time.sleep(max(0.0, start + 0.5 - time.monotonic()))
                left = orphans_holding_data(port)
            finally:
                attacker.join()
                for s in readers:
                    s.close()
            print(f"  {seconds * rate} slow readers in {seconds} s: {answered} of {scrapes} "
                  f"scrapes answered within 1 s; {left} closed sockets still holding answers")
            assert answered >= 0.95 * scrapes and daemon.running(), (answered, scrapes)
            assert left < 10, left  # every undelivered answer the daemon closed was reset


def test_stop_with_a_scrape_under_way():
    """A scrape read slowly, more than the kernel takes at once, is under way at SIGTERM: it
    still gets the whole answer, and the daemon stops promptly."""
    with simhost.SimulatedHost() as host:
        port = fx.free_port()
        with big_scrape_daemon(host, port) as daemon:
            want = fx.body(fx.exchange(port))
            chunks = []
            reader = threading.Thread(target=read_slowly, args=(port, chunks, 4096, 0.002))
            reader.start()
            while sum(map(len, chunks)) < 0.45 * len(want) and reader.is_alive():
                time.sleep(0.01)
            under_way = sum(map(len, chunks))
            start = time.monotonic()
            status = daemon.stop(timeout=3 * fx.SLACK)
            took = time.monotonic() - start
            reader.join(10 * fx.SLACK)
            print(f"  stopped in {took:.1f} s with a scrape under way ({under_way} bytes read)")
            assert status == 0 and daemon.log().endswith("[info] Exiting\n"), daemon.log()
            assert 0 < under_way < len(want) and fx.body(b"".join(chunks)) == want, \
                (under_way, b"".join(chunks)[-300:])


if __name__ == "__main__":
    fx.main([test_requests_and_hostile_clients, test_stop_signals, test_out_of_descriptors,
             test_slow_readers, test_stop_with_a_scrape_under_way])
