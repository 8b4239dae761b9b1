"""The running daemon's scrape server, among hostile local clients, and its stop signals, on a
simulated host whose scrape (4 VMs with 40 block and 40 network devices each) is too large to
go out at once to a client with a small window. Root only (private namespaces)."""
import signal
import socket
import struct
import threading
import time

import fixture as fx
from fixture import simhost

VMS = (1, 2, 3, 4)


def build_host(host):
    for v in VMS:
        blocks = [(9 + d, [(v * 1000 + d, d), (d, 2 * d), (0, 0), (100, 500)]) for d in range(40)]
        nets = [(4 + d, [(v * 3000 + d, d), (d, 3 * d), (100, 200), (1, 2)]) for d in range(40)]
        host.add_vm(v, devices=simhost.standard_vm_texts(v, blocks=blocks, nets=nets)["devices"])


def started(port):
    daemon = fx.Daemon(fx.daemon_config(port)).start()
    # The store is empty until the first feed has finished.
    deadline = time.monotonic() + 10 * fx.SLACK
    while b'vm_rss{vm_id="4"' not in fx.exchange(port):
        assert time.monotonic() < deadline and daemon.running(), daemon.log()
        time.sleep(0.1)
    return daemon


def test_requests_and_hostile_clients():
    with simhost.SimulatedHost() as host:
        build_host(host)
        want = fx.dump().stdout
        assert len(want) > 200000, len(want)
        port = fx.free_port()
        with started(port) as daemon:
            # (request, expected answer: the scrape, or the start of an error answer)
            for request, answer in [
                    (fx.GET, None),
                    (b"GET /metrics?x=1 HTTP/1.0\r\n\r\n", None),
                    (b"GET /other HTTP/1.1\r\n\r\n", b"HTTP/1.1 404 Not Found\r\n"),
                    (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                     b"HTTP/1.1 405 Method Not Allowed\r\n")]:
                got = fx.exchange(port, request)
                assert (fx.body(got) == want) if answer is None else got.startswith(answer), \
                    (request, got[:300])

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


if __name__ == "__main__":
    fx.main([test_requests_and_hostile_clients, test_stop_signals])
