"""A host tool stuck in the kernel, which must cost neither the feed nor the stop. Root only
(private namespaces); needs FUSE and skips itself where the kernel does not offer it. (The
descriptors a tool starts with are checked in test_peers.py, beside real peers' connections.)"""
import contextlib
import os
import re
import time

import fixture as fx
from fixture import simhost
import stuck_mount

LIMIT = 5  # seconds, the runner's time limit
LEFT = r"^\[cmd\] /usr/sbin/bhyvectl \(pid \d+\) did not end when killed; "


def children(pid):
    """The states (R, S, D, Z, ...) of the processes whose parent is pid."""
    states = []
    for child in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{child}/stat") as f:
            state, parent = f.read().rsplit(")", 1)[1].split()[:2]
            states += [state] if int(parent) == pid else []
    return states


def stopped_within(daemon, seconds):
    start = time.monotonic()
    status, took = daemon.stop(timeout=seconds * fx.SLACK + 5), time.monotonic() - start
    assert status == 0 and took < seconds * fx.SLACK, (status, took, daemon.log()[-2000:])
    assert daemon.log().endswith("[info] Exiting\n"), daemon.log()[-2000:]


def test_tool_stuck_in_the_kernel():
    # VM 4's bhyvectl reads its answers through a FUSE mount that never answers: it waits in the
    # kernel, and once killed at the time limit it stays in state D until the mount is aborted.
    with simhost.SimulatedHost() as host:
        host.add_vm(2)
        host.add_vm(4)
        for whole_run in (False, True):  # SIGTERM while the runner waits for the tool; a run
            try:
                mount = stuck_mount.StuckMount(os.path.join(host.fixtures, "vm", "4")).__enter__()
            except stuck_mount.Unavailable as reason:
                print(f"SKIPPED: FUSE: {reason}")
                raise SystemExit(77)
            try:
                port = fx.free_port()
                with fx.Daemon(fx.daemon_config(port)).start() as daemon:
                    if not whole_run:
                        time.sleep(1.0)
                        stopped_within(daemon, 4)
                        assert len(daemon.log_lines("warning", LEFT)) == 1, daemon.log()
                        continue
                    assert daemon.wait_log("Feed took", (LIMIT + 5) * fx.SLACK), daemon.log()
                    time.sleep(2.5)  # two more feeds
                    feeds = [int(us) / 1e6 for us in re.findall(r"Feed took (\d+) us",
                                                                daemon.log())]
                    assert max(feeds) < LIMIT + 2 * fx.SLACK, feeds
                    scrape = fx.body(fx.exchange(port))
                    assert b'vm_rss{vm_id="2"' in scrape and b'vm_rss{vm_id="4"' not in scrape
                    assert b'read_bytes_total{vm_id="4"' in scrape, scrape
                    # One tool left behind and logged; the next feeds started no second one.
                    states = lambda: children(daemon.proc.pid)  # noqa: E731
                    assert fx.wait_for(lambda: states().count("D") == 1, 1), states()
                    assert len(daemon.log_lines("warning", LEFT)) == 1, daemon.log()
                    mount.abort()  # the tool dies; a later feed reaps it
                    assert fx.wait_for(lambda: not set(states()) & {"D", "Z"}, 3), states()
                    stopped_within(daemon, 4)
            finally:
                mount.__exit__()


if __name__ == "__main__":
    fx.main([test_tool_stuck_in_the_kernel])
