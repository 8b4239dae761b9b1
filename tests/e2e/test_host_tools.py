"""The host tools as the running daemon starts them: a tool stuck in the kernel, which must cost
neither the feed nor the stop, and the descriptors a tool starts with. Root only (private
namespaces); the stuck tool needs FUSE and skips itself where the kernel does not offer it."""
import contextlib
import http.server
import os
import re
import signal
import threading
import time

import fixture as fx
from fixture import simhost
import stuck_mount


def children(pid):
    """The states (R, S, D, Z, ...) of the processes whose parent is pid."""
    states = []
    for child in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{child}/stat") as f:
            state, parent = f.read().rsplit(")", 1)[1].split()[:2]
            if int(parent) == pid:
                states.append(state)
    return states


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def stopped_within(daemon, seconds):
    start = time.monotonic()
    status = daemon.stop(timeout=seconds * fx.SLACK + 5)
    took = time.monotonic() - start
    assert status == 0 and took < seconds * fx.SLACK, (status, took, daemon.log()[-2000:])
    assert daemon.log().endswith("[info] Exiting\n"), daemon.log()[-2000:]
    return took


def test_tool_stuck_in_the_kernel():
    # VM 4's bhyvectl reads its answers through a FUSE mount that never answers: it waits in the
    # kernel, and once killed at the time limit it stays in state D until the mount is aborted.
    limit = 5  # seconds, the runner's time limit
    with simhost.SimulatedHost() as host:
        host.add_vm(2)
        host.add_vm(4)
        stuck = os.path.join(host.fixtures, "vm", "4")
        # SIGTERM while the runner still waits for the tool; then a whole run with it.
        for stop_after in (1.0, None):
            port = fx.free_port()
            try:
                mount = stuck_mount.StuckMount(stuck).__enter__()
            except stuck_mount.Unavailable as reason:
                raise fx.Skipped(f"FUSE: {reason}")
            try:
                with fx.Daemon(fx.daemon_config(port)).start() as daemon:
                    left = r"^\[cmd\] /usr/sbin/bhyvectl \(pid \d+\) did not end when killed; "
                    if stop_after:
                        time.sleep(stop_after)
                        took = stopped_within(daemon, 4)
                        assert len(daemon.log_lines("warning", left)) == 1, daemon.log()
                        print(f"  SIGTERM during the wait: ended in {took:.2f} s")
                        continue
                    assert daemon.wait_log("Feed took", (limit + 5) * fx.SLACK), daemon.log()
                    time.sleep(2.5)  # two more feeds
                    feeds = [int(us) / 1e6 for us in re.findall(r"Feed took (\d+) us",
                                                                daemon.log())]
                    assert max(feeds) < limit + 2 * fx.SLACK, feeds
                    scrape = fx.body(fx.exchange(port))
                    assert b'vm_rss{vm_id="2"' in scrape and b'vm_rss{vm_id="4"' not in scrape
                    assert b'read_bytes_total{vm_id="4"' in scrape, scrape
                    # One tool left behind and logged; the next feeds started no second one.
                    assert wait_until(lambda: children(daemon.proc.pid).count("D") == 1,
                                      fx.SLACK), children(daemon.proc.pid)
                    assert len(daemon.log_lines("warning", left)) == 1, daemon.log()
                    mount.abort()  # the tool dies; a later feed reaps it
                    assert wait_until(lambda: not set(children(daemon.proc.pid)) & {"D", "Z"},
                                      3 * fx.SLACK), children(daemon.proc.pid)
                    took = stopped_within(daemon, 4)
                    print(f"  feeds took {feeds} s; ended in {took:.2f} s")
            finally:
                mount.__exit__()


class InfluxStandIn(http.server.BaseHTTPRequestHandler):
    """Answers every write with 204 and keeps the connection, as InfluxDB does."""
    protocol_version = "HTTP/1.1"
    posts = 0

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        type(self).posts += 1
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


def test_tools_start_with_standard_descriptors_only():
    # The daemon has its log file, the scrape server's socket and libcurl's connection to InfluxDB
    # open while the tool runs.
    with simhost.SimulatedHost() as host, http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), InfluxStandIn) as influx:
        threading.Thread(target=influx.serve_forever, daemon=True).start()
        host.add_vm(2)
        listed = host.set_tool(2, "get-stats", simhost.standard_vm_texts(2)["stats"], fds=True)
        listed = listed.replace(".counter", ".fds")
        config = fx.daemon_config(fx.free_port(), influx={
            "url": f"127.0.0.1:{influx.server_address[1]}", "database": "d"})
        with fx.Daemon(config).start() as daemon:
            deadline = time.monotonic() + 10 * fx.SLACK
            while InfluxStandIn.posts < 2 * 5 and time.monotonic() < deadline:
                time.sleep(0.1)
            time.sleep(1.2)  # a feed whose tools ran beside the open connection
            with open(listed) as f:
                descriptors = f.read()
            assert InfluxStandIn.posts >= 10 and descriptors == "0 1 2\n", \
                (InfluxStandIn.posts, descriptors, daemon.log()[-1000:])
            assert daemon.stop() == 0
        influx.shutdown()


if __name__ == "__main__":
    fx.main([test_tool_stuck_in_the_kernel, test_tools_start_with_standard_descriptors_only])
