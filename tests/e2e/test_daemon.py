"""The scrape server among hostile local clients and out of descriptors, and the stop signals, on
a simulated host whose scrape (20 VMs of 40 block and 40 network devices, about 1 MB) cannot go
out at once to a client with a small window; README's InfluxDB steps and the sample config
against influxd. Slow readers by the thousand are bench/slow_readers.py's. Root only."""
import contextlib
import os
import re
import resource
import shlex
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

import fixture as fx
from fixture import simhost
from test_peers import Influxd, pausing, wait_for

NOT_ALLOWED = (b"HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
               b"Content-Length: 23\r\nConnection: close\r\n\r\n405 Method Not Allowed\n")
EMPTY = (b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
         b"Content-Length: 0\r\nConnection: close\r\n\r\n")
JUNK = b"x" * 100000  # more than the server reads: left unread when the answer is done


def build_host(host, vms=(1, 2, 3, 4)):
    for v in vms:
        blocks = [(9 + d, [(v * 1000 + d, d), (d, 2 * d), (0, 0), (100, 500)]) for d in range(40)]
        nets = [(4 + d, [(v * 3000 + d, d), (d, 3 * d), (100, 200), (1, 2)]) for d in range(40)]
        host.add_vm(v, devices=simhost.standard_vm_texts(v, blocks=blocks, nets=nets)["devices"])


def small_window(port):
    """Asks for the scrape with a small window and segments: the answer cannot go out at once."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
    s.settimeout(10 * fx.SLACK)
    s.connect(("127.0.0.1", port))
    s.sendall(fx.GET)
    return s


def read_slowly(port, chunks, stopping):
    """Takes 4 KiB of the scrape every 10 ms, and the rest at once when stopping is set."""
    try:
        with small_window(port) as s:
            while chunk := s.recv(4096):
                chunks.append(chunk)
                time.sleep(0 if stopping.is_set() else 0.01)
    except OSError as error:
        chunks.append(repr(error).encode())


def cpu_seconds(pid):
    """User and system time of the whole process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_hostile_clients_descriptors_and_a_stop_under_way():
    with simhost.SimulatedHost() as host:
        build_host(host, range(1, 21))  # a scrape of about 1 MB: more than the kernel buffers
        want = fx.dump().stdout
        assert len(want) > 800000, len(want)
        port = fx.free_port()
        # Until the first feed has finished the store is empty (the first feed waits for a tool).
        stats = simhost.standard_vm_texts(1)["stats"]
        host.set_tool(1, "get-stats", stats, delay=1.5 * fx.SLACK)
        with fx.Daemon(fx.daemon_config(port)).start() as daemon, socket.create_connection(
                ("127.0.0.1", port), 30) as early:  # idle: answered at its deadline (8 s)
            assert fx.exchange(port) == EMPTY
            host.set_tool(1, "get-stats", stats)
            assert wait_for(lambda: fx.body(fx.exchange(port)) == want, 10), daemon.log()
            # The answer comes whole also when request bytes are left unread: a body, a
            # pipelined request, an endless header (None: the scrape).
            for request, answer in [
                    (b"GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + JUNK, None),
                    (fx.GET + b"GET /metrics HTTP/1.1\r\n\r\n" * 4000, None),
                    (b"GET /metrics HTTP/1.1\r\nX: " + JUNK, None),
                    (b"POST /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + JUNK,
                     NOT_ALLOWED)]:
                got = fx.exchange(port, request)
                assert (fx.body(got) == want) if answer is None else got == answer, \
                    (request[:60], len(got), got[:300])
            # A scraper that half-closes, then vanishes (RST) in the middle of its answer.
            for _ in range(3):
                with small_window(port) as s:
                    s.shutdown(socket.SHUT_WR)
                    s.recv(1000)
                    time.sleep(0.2)
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                time.sleep(0.2)
            assert fx.body(fx.exchange(port)) == want and daemon.running(), daemon.log()

            # Out of descriptors, with connections waiting: the server thread must not spin.
            pid = daemon.proc.pid
            limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            resource.prlimit(pid, resource.RLIMIT_NOFILE,
                             (len(os.listdir(f"/proc/{pid}/fd")) + 8, limits[1]))
            idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(20)]
            time.sleep(0.5)
            before = cpu_seconds(pid)
            time.sleep(2)
            used = cpu_seconds(pid) - before
            warnings = daemon.log_lines("warning", "^Cannot accept connections on ")
            assert used < 0.5 and len(warnings) == 1, (used, warnings)  # a spin takes ~2
            for s in idle:
                s.close()
            resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
            # The host tools failed meanwhile: VMs were missing.
            assert wait_for(lambda: fx.body(fx.exchange(port)) == want, 10), daemon.log()
            assert early.recv(12) == b"HTTP/1.1 405", "an idle connection outlived its deadline"

            # SIGTERM while a scrape read slowly is under way: it still gets the whole answer;
            # one never read is reset when the stop grace ends, not left to the kernel.
            stalled = small_window(port)
            chunks, stopping = [], threading.Event()
            reader = threading.Thread(target=read_slowly, args=(port, chunks, stopping))
            reader.start()
            while sum(map(len, chunks)) < 0.45 * len(want) and reader.is_alive():
                time.sleep(0.01)
            under_way = sum(map(len, chunks))
            # A request still being read is closed when the stop begins; from then on, the reader
            # takes the rest at once, within the stop grace.
            probe = socket.create_connection(("127.0.0.1", port), 10 * fx.SLACK)
            probe.sendall(b"GET /metrics HTTP/1.1\r\n")
            assert wait_for(lambda: fx.taken_by_daemon(port, probe), 5)
            daemon.proc.send_signal(signal.SIGTERM)
            with probe, contextlib.suppress(ConnectionResetError):
                assert probe.recv(1) == b""
            stopping.set()
            assert daemon.proc.wait(3 * fx.SLACK) == 0, daemon.log()
            reader.join(10 * fx.SLACK)
            assert daemon.log().endswith("[info] Exiting\n"), daemon.log()
            with stalled, contextlib.suppress(ConnectionResetError):
                while stalled.recv(65536):
                    pass
                raise AssertionError("an answer never read was left to the kernel, not reset")
            assert 0 < under_way < len(want) and fx.body(b"".join(chunks)) == want, \
                (under_way, b"".join(chunks)[-300:])


def test_readme_influxdb_steps_and_the_sample():
    """README's InfluxDB steps for auth-enabled = true, run in order against a real influxd; then
    the sample config, copied and filled in as the guide says, feeds it with not one warning or
    error in the log, and the guide's READ user and query read the figures back."""
    readme, guide, sample = (open(os.path.join(fx.SOURCE_DIR, *path)).read() for path in (
        ["README.md"], ["docs", "operator-guide.md"], ["packaging", "tarn-node.conf.sample"]))
    steps = readme[readme.index("With `auth-enabled = true`"):].split("```")[1].splitlines()[1:]
    reading = re.findall(r"^ +\$ (influx .*GRANT READ.*|influx .*CREATE USER grafana.*)$", guide,
                         re.M)
    query = re.search(r"\$ influx (-username grafana .*) \\\n\s+('SELECT .*')", guide)
    assert (len(steps), len(reading), sample.count("\nenabled = false\n")) == (4, 2, 1) and query
    with simhost.SimulatedHost() as host, Influxd("auth-enabled = true\n") as influxd:
        build_host(host, (3, 8))

        def influx(words):
            proc = subprocess.run([words[0], "-port", str(influxd.port), *words[1:]],
                                  capture_output=True, text=True, timeout=30)
            assert proc.returncode == 0 and "ERR" not in proc.stdout + proc.stderr, (words, proc)
            return proc.stdout
        for line in steps + reading:
            influx(shlex.split(line))
        # As the guide says: [influx] on with url and credentials; the scrape port and the 3 s
        # interval (posting gets one at most; influxd's first write can take 1 s) are the test's.
        conf = re.sub(r"^;(user|password|database) = ", r"\1 = ", sample, flags=re.M)
        for old, new in (("\nenabled = false\n", "\nenabled = true\n"),
                         (";url = https://influx.example.org:8086", f"url = {influxd.url}"),
                         (";listen = 127.0.0.1:9273", f"listen = 127.0.0.1:{fx.free_port()}"),
                         (";interval = 10", "interval = 3"),
                         ("/var/db/tarn_vm_perfdata/", tempfile.mkdtemp() + "/")):
            conf = conf.replace(old, new)
        with fx.Daemon(conf).start() as daemon:
            words = ["influx", *shlex.split(query[1]), *shlex.split(query[2])]
            assert wait_for(lambda: "tags: vm_id=8" in influx(words), 10), daemon.log()
            assert "tags: vm_id=3" in influx(words)
            noise = daemon.log_lines("warning", "") + daemon.log_lines("error", "")
            assert not noise, daemon.log()
            # SIGINT during a feed (SIGTERM while sleeping and sending ends the test above):
            # the feed is not waited out.
            host.set_tool(3, "get-stats", simhost.standard_vm_texts(3)["stats"], delay=60)
            assert wait_for(lambda: pausing("--get-stats\0--vm=3\0"), 10), daemon.log()
            start = time.monotonic()
            assert daemon.stop(timeout=4 * fx.SLACK, signum=signal.SIGINT) == 0, daemon.log()
            print(f"  SIGINT during a feed: stopped in {time.monotonic() - start:.1f} s")
            assert daemon.log().endswith("[info] Exiting\n"), daemon.log()


if __name__ == "__main__":
    fx.main([test_hostile_clients_descriptors_and_a_stop_under_way,
             test_readme_influxdb_steps_and_the_sample])
