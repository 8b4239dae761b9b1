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


def children(pid):
    """The states (R, S, D, Z, ...) of the processes whose parent is pid."""
    states = []
    for child in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{child}/stat") as f:
            state, parent = f.read().rsplit(")", 1)[1].split()[:2]
            if int(parent) == pid:
                states.append(state)
    return states


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
                    states = lambda: children(daemon.proc.pid)  # noqa: E731
                    assert fx.wait_for(lambda: states().count("D") == 1, 1), states()
                    assert len(daemon.log_lines("warning", left)) == 1, daemon.log()
                    mount.abort()  # the tool dies; a later feed reaps it
                    assert fx.wait_for(lambda: not set(states()) & {"D", "Z"}, 3), states()
                    took = stopped_within(daemon, 4)
                    print(f"  feeds took {feeds} s; ended in {took:.2f} s")
            finally:
                mount.__exit__()


if __name__ == "__main__":
    fx.main([test_tool_stuck_in_the_kernel])
