"""Scrape throughput: wrk against the running daemon's GET /metrics and against lighttpd.

The daemon runs on a simulated host with 500 VMs (tests/sim/simhost.py) and a long interval, so
its first feed fills the store and nothing runs between scrapes. The document it serves is then
saved and served as a static file by lighttpd (Debian package lighttpd), both on 127.0.0.1. wrk
(Debian package wrk) runs against each in turn, with one connection and with ten, one thread,
a few seconds per run. lighttpd runs twice per connection count: with keep-alive (its default)
and with "Connection: close" on every request, which is how the daemon always answers. Run as
root:

    /usr/bin/python3 bench/scrape_throughput.py [BUILD_DIR] [--short] [--vms N] [--seconds S]
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402

LIGHTTPD_CONF = """server.document-root = "{root}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{root}/../lighttpd-error.log"
server.pid-file = "{root}/../lighttpd.pid"
mimetype.assign = ("" => "text/plain; version=0.0.4; charset=utf-8")
"""


def wrk(path, port, connections, seconds, close):
    argv = [path, "-t1", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s"]
    if close:
        argv += ["-H", "Connection: close"]
    argv.append(f"http://127.0.0.1:{port}/metrics")
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=seconds + 60)
    m = re.search(r"Requests/sec:\s+([0-9.]+)", done.stdout)
    if done.returncode != 0 or not m:
        sys.exit(f"wrk failed:\n{done.stdout}")
    if "Non-2xx" in done.stdout:
        sys.exit(f"wrk saw error answers:\n{done.stdout}")
    errors = re.search(r"Socket errors: (.*)", done.stdout)
    return float(m.group(1)), errors.group(1) if errors else ""


def main():
    def extra(parser):
        parser.add_argument("--vms", type=int, default=None, help="VMs (default 500)")
        parser.add_argument("--seconds", type=int, default=None, help="per wrk run (default 5)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    wrk_path = bench_util.require_tool("wrk")
    lighttpd_path = bench_util.require_tool("lighttpd")
    bench_util.enter_namespaces()
    import fixture as fx

    vms = args.vms if args.vms is not None else (20 if args.short else 500)
    seconds = args.seconds if args.seconds is not None else (1 if args.short else 5)
    with bench_util.scraped_daemon(vms) as (work, port, daemon, document):

        root = os.path.join(work, "www")
        os.makedirs(root)
        with open(os.path.join(root, "metrics"), "wb") as f:
            f.write(document)
        static_port = fx.free_port()
        conf = os.path.join(work, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write(LIGHTTPD_CONF.format(root=root, port=static_port))
        server = subprocess.Popen([lighttpd_path, "-D", "-f", conf], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            served = bench_util.wait_for(lambda: _try_get(static_port), timeout=10)
            if served != document:
                sys.exit("lighttpd does not serve the same bytes")
            rows = []
            for connections in (1, 10):
                ours, ours_errors = wrk(wrk_path, port, connections, seconds, close=False)
                alive, _ = wrk(wrk_path, static_port, connections, seconds, close=False)
                closing, _ = wrk(wrk_path, static_port, connections, seconds, close=True)
                rows.append((connections, ours, alive, closing, ours_errors))
        finally:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        if not daemon.running():
            sys.exit(f"the daemon ended during the runs; log:\n{daemon.log()}")

    print(f"GET /metrics of {vms} VMs ({len(document)} bytes), wrk -t1, {seconds} s per run:")
    print(f"{'conns':>5} {'daemon req/s':>13} {'lighttpd req/s':>15} {'ratio':>7} "
          f"{'lighttpd close':>15} {'ratio':>7}  daemon socket errors")
    for connections, ours, alive, closing, errors in rows:
        print(f"{connections:>5} {ours:13.1f} {alive:15.1f} {ours / alive:7.3f} {closing:15.1f} "
              f"{ours / closing:7.3f}  {errors or 'none'}")
    return 0


def _try_get(port):
    try:
        status, body = bench_util.http_get(port)
    except OSError:
        return None
    return body if status == 200 else None


if __name__ == "__main__":
    sys.exit(main())
