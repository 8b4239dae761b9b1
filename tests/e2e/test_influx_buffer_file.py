"""The InfluxDB buffer file ([influx] buffer_file): daemons killed with SIGKILL at random moments
against a stand-in that is down for part of the run lose no feed they logged before the one in
progress; a corrupt file at start and a disk that fills while running leave the daemon
collecting, scraping and posting. Root only (private namespaces)."""
import collections
import os
import random
import re
import subprocess
import tempfile
import time

import fixture as fx
from fixture import simhost
from test_influx_output import LINES, StandIn
from test_peers import dumped


class Outage(list):
    """StandIn's statuses: 503 while `down`, 204 otherwise."""
    down = False
    __len__, __getitem__ = lambda self: 10**9, lambda self, _: 503 if self.down else 204


def kill_loop(kills, seed, delay=0.05):
    """Daemons with -i on one buffer file (batches of one feed), each SIGKILLed after a random
    0.2-2.5 s, the stand-in down (503) over the middle third of them; then one more runs until
    the stand-in has every line logged and is stopped. Returns (per-run logged lines, a Counter
    of the lines stored)."""
    rng, outage, logs = random.Random(seed), Outage(), []
    server = StandIn(delay, outage)
    folder = tempfile.mkdtemp(prefix="tarn-buffer-")
    keys = {"url": f"127.0.0.1:{server.server_port}", "database": "d", "batch_size": LINES,
            "buffer_limit": 100000, "buffer_file": f"{folder}/b.sqlite"}
    stored = collections.Counter()
    with simhost.SimulatedHost({"kern.hz": 1000}) as host:
        for v in range(1, (LINES - 1) // 4 + 1):
            host.add_vm(v)
        for n in range(kills + 1):
            outage.down = kills // 3 <= n < 2 * kills // 3
            with fx.Daemon(fx.daemon_config(None, 1, keys), ["-i"]) as daemon:
                daemon.start()
                if n < kills:
                    time.sleep(rng.uniform(0.2, 2.5))
                    daemon.proc.kill()
                    daemon.proc.wait()
                else:
                    def drained():
                        stored.clear()
                        stored.update(line for p in list(server.posts) if p[3] == 204
                                      for line in p[2])
                        return set(committed(logs + [dumped(daemon)])) <= set(stored)
                    assert fx.wait_for(drained, 30), daemon.log()
                    assert daemon.stop(timeout=10 * fx.SLACK) == 0, daemon.log()
                logs.append(dumped(daemon))
    server.shutdown()
    return logs, stored


def committed(logs):
    """The lines of every feed (timestamp) logged before the one in progress at each log's end."""
    return [line for log in logs if log for line in log if line.rsplit(" ", 1)[1] != log[-1].rsplit(
        " ", 1)[1]]


def check_kills(logs, stored):
    """Every feed logged before the one in progress at a kill is stored; a line is stored twice
    only in a batch in flight at a kill (one batch of at most LINES lines each)."""
    missing = set(committed(logs)) - set(stored)
    assert not missing, sorted(missing)[:3]
    twice = sum(count - 1 for count in stored.values())
    assert twice <= LINES * (len(logs) - 1), twice
    return twice


def test_kill_9_loses_no_committed_feed():
    logs, stored = kill_loop(6, seed=35)
    twice = check_kills(logs, stored)
    print(f"  6 kills: {sum(map(len, logs))} lines logged, {twice} stored twice")


def test_corrupt_file_and_full_disk():
    # 8 MB of tmpfs for the file (its log grows to 4 MB between checkpoints); filled up while
    # the daemon runs, then freed.
    folder = tempfile.mkdtemp(prefix="tarn-buffer-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", folder], check=True)
    with open(f"{folder}/b.sqlite", "wb") as f:
        f.write(b"not a database " * 1000)
    server, port = StandIn(0), fx.free_port()
    keys = {"url": f"127.0.0.1:{server.server_port}", "database": "d", "batch_size": LINES,
            "buffer_limit": 1000, "buffer_file": f"{folder}/b.sqlite"}
    config = fx.daemon_config(port, 1, keys).replace("[influx]", "self_metrics = true\n[influx]")
    unwritten = (f"Influx buffer file {folder}/b.sqlite cannot be written (database or disk is "
                 "full); lines not in it are kept in memory until it can be")
    with simhost.SimulatedHost() as host, fx.Daemon(config, ["-i"]) as daemon:
        host.add_vm(1)
        daemon.start()
        assert daemon.wait_log("a new one started", 5), daemon.log()
        assert re.search(rf"\[error\] Influx buffer file {folder}/b.sqlite cannot be used \(file "
                         rf"is not a database\); set aside as {folder}/b.sqlite.corrupt-\d{{8}}T"
                         rf"\d{{6}}Z, a new one started\n", daemon.log()), daemon.log()
        subprocess.run(["dd", "if=/dev/zero", f"of={folder}/fill", "bs=64k"],
                       stderr=subprocess.DEVNULL)  # until the disk is full
        assert daemon.wait_log(unwritten, 30), daemon.log()
        posts = len(server.posts)
        assert fx.wait_for(lambda: len(server.posts) >= posts + 3, 10)  # posting goes on
        scrape = fx.body(fx.exchange(port)).decode()
        for figure in ("file_write_failures_total", "files_set_aside_total"):
            assert re.search(rf"exporter_influx_buffer_{figure}{{hostname=\"[^\"]+\"}} [1-9]",
                             scrape), scrape
        os.remove(f"{folder}/fill")
        assert daemon.wait_log("is written again", 10), daemon.log()
        assert daemon.stop() == 0
        # Every line posted in order; the stop may cut the last feed's POST short (and post it
        # again in the last attempt).
        sent, logged = list(dict.fromkeys(line for p in server.posts for line in p[2])), dumped(
            daemon)
        assert daemon.log().count(unwritten) == 1 and sent == logged[:len(sent)] and len(
            sent) >= len(logged) - 5, (len(sent), len(logged), daemon.log())
        assert len([n for n in os.listdir(folder) if ".corrupt-" in n]) == 1, os.listdir(folder)
    subprocess.run(["umount", folder], check=True)
    server.shutdown()


if __name__ == "__main__":
    fx.main([test_kill_9_loses_no_committed_feed, test_corrupt_file_and_full_disk])
