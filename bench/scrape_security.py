"""Scrape endpoint costs: gzip against the plain document, TLS against plain HTTP, and good scrapes
during a flood of wrong passwords.

The daemon runs on a simulated host with 500 VMs whose block, network, memory and throttle
figures are random (tests/sim/simhost.py), with a long interval, so the first feed fills the
store and nothing runs between scrapes. Two daemons serve the same host: one plain, one with a
web config file (TLS with a certificate made here by the openssl command, and one basic-auth user
whose bcrypt hash, cost 10, comes from htpasswd). It prints

  1. the bytes of one scrape, plain and gzip;
  2. wrk -t1 -c10 throughput of GET /metrics with and without "Accept-Encoding: gzip";
  3. the latency (p50, p99) of one scrape on a fresh connection, over plain HTTP and over TLS
     (a new handshake each time, as "Connection: close" means), from a Python client;
  4. the latency of good scrapes (right password, TLS) while 50 clients send wrong passwords
     over TLS in a loop, each time a new one.

Compression CPU per feed is measured by bench/gzip_benchmark.cpp. Run as root:

    /usr/bin/python3 bench/scrape_security.py [BUILD_DIR] [--short] [--vms N] [--seconds S]
"""
import base64
import gzip
import json
import os
import random
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_util  # noqa: E402

USER, PASSWORD = "prometheus", "change-me"


def varied_vm(simhost, vm_id, rng):
    pair = lambda: (rng.randrange(10 ** 12), rng.randrange(10 ** 7))  # noqa: E731
    blocks = [(9, [pair(), pair(), pair(), (rng.randrange(1, 10000), rng.randrange(1, 10 ** 5))])]
    nets = [(4, [pair(), pair(), (rng.randrange(1, 10000), rng.randrange(1, 10000)),
                 (rng.randrange(10 ** 6), rng.randrange(10 ** 6))])]
    return simhost.standard_vm_texts(vm_id, cores=rng.choice((1, 2, 4, 8)),
                                     rss=rng.randrange(10 ** 8, 10 ** 11),
                                     limit_sleeps=rng.randrange(10 ** 9), blocks=blocks, nets=nets)


def scrape_request(auth=None, encoding=None):
    head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if auth:
        head += "Authorization: Basic " + base64.b64encode(auth.encode()).decode() + "\r\n"
    if encoding:
        head += f"Accept-Encoding: {encoding}\r\n"
    return (head + "\r\n").encode()


def exchange(port, data, context=None):
    """One request on a fresh connection (TLS with context); the whole answer."""
    import socket
    with socket.create_connection(("127.0.0.1", port), 30) as raw:
        # As Prometheus (Go) and curl do: else a small write waits for the previous one's
        # acknowledgement, which the peer delays.
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s = context.wrap_socket(raw, server_hostname="127.0.0.1") if context else raw
        s.sendall(data)
        chunks = []
        while True:
            try:
                chunk = s.recv(1 << 20)
            except (ssl.SSLEOFError, ConnectionResetError):
                break
            if not chunk:
                break
            chunks.append(chunk)
        if context:
            s.close()
        return b"".join(chunks)


def body_of(answer, encoded=False):
    head, _, body = answer.partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200 ") or f"Content-Length: {len(body)}".encode() not in head:
        sys.exit(f"a bad answer: {head[:300]!r}")
    if encoded != (b"Content-Encoding: gzip" in head):
        sys.exit(f"unexpected encoding: {head!r}")
    return body


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def latencies(port, request, count, context=None, encoded=False):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        body_of(exchange(port, request, context), encoded)
        times.append(time.perf_counter() - start)
    return times


def wrk(path, port, seconds, encoding):
    argv = [path, "-t1", "-c10", f"-d{seconds}s", "--timeout", "10s"]
    if encoding:
        argv += ["-H", f"Accept-Encoding: {encoding}"]
    argv.append(f"http://127.0.0.1:{port}/metrics")
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=seconds + 60)
    rate = re.search(r"Requests/sec:\s+([0-9.]+)", done.stdout)
    transfer = re.search(r"Transfer/sec:\s+(\S+)", done.stdout)
    if done.returncode != 0 or not rate or "Non-2xx" in done.stdout:
        sys.exit(f"wrk failed:\n{done.stdout}")
    return float(rate.group(1)), transfer.group(1)


FLOOD = r"""
import asyncio, random, ssl, sys, time, base64, json
port, ca, seconds, clients = int(sys.argv[1]), sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
context = ssl.create_default_context(cafile=ca)
answers = {}
async def client(stop):
    while time.monotonic() < stop:
        auth = base64.b64encode(f"prometheus:guess-{random.getrandbits(64)}".encode()).decode()
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=context,
                                                           server_hostname="127.0.0.1")
            writer.write(f"GET /metrics HTTP/1.1\r\nAuthorization: Basic {auth}\r\n\r\n".encode())
            status = (await reader.read())[:12].decode(errors="replace")
            writer.close()
        except (OSError, ssl.SSLError) as error:
            status = type(error).__name__
        answers[status] = answers.get(status, 0) + 1
async def main():
    stop = time.monotonic() + seconds
    await asyncio.gather(*(client(stop) for _ in range(clients)))
asyncio.run(main())
print(json.dumps(answers))
"""


def main():
    def extra(parser):
        parser.add_argument("--vms", type=int, default=None, help="VMs (default 500)")
        parser.add_argument("--seconds", type=int, default=None,
                            help="per wrk run and flood (default 5)")
    args = bench_util.parse_args(__doc__.splitlines()[0], extra)
    bench_util.use_build(args.build_dir)
    wrk_path = bench_util.require_tool("wrk")
    bench_util.require_tool("htpasswd")
    bench_util.enter_namespaces()
    import fixture as fx
    import simhost
    from test_scrape_security import Pki, bcrypt_hash

    vms = args.vms if args.vms is not None else (20 if args.short else 500)
    seconds = args.seconds if args.seconds is not None else (1 if args.short else 5)
    samples = 20 if args.short else 300
    clients = 5 if args.short else 50
    rng = random.Random(22)
    with tempfile.TemporaryDirectory() as work, \
            simhost.SimulatedHost(bench_util.HOST_SETTINGS) as host:
        for vm_id in range(1, vms + 1):
            host.add_vm(vm_id, **varied_vm(simhost, vm_id, rng))
        pki = Pki()  # the test's CA and certificates, copied beside the web config
        for name in ("ca.pem", "server.pem", "server.key"):
            shutil.copy(pki.path(name), work)
        shutil.rmtree(pki.dir)
        web_config = os.path.join(work, "web.yml")
        with open(web_config, "w") as f:
            f.write(f"tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
                    f"basic_auth_users:\n  {USER}: '{bcrypt_hash(PASSWORD)}'\n")
        context = ssl.create_default_context(cafile=os.path.join(work, "ca.pem"))
        plain_port, tls_port = fx.free_port(), fx.free_port()
        config = fx.daemon_config(plain_port, interval=3600)
        tls_config = fx.daemon_config(tls_port, interval=3600).replace(
            "[prometheus]\n", f"[prometheus]\nweb_config_file = {web_config}\n")
        with fx.Daemon(config, directory=work) as plain, \
                fx.Daemon(tls_config, directory=work) as secure:
            plain.start(timeout=30)
            secure.start(timeout=30)
            good = scrape_request(f"{USER}:{PASSWORD}")

            def full(port, context=None, request=scrape_request()):
                body = body_of(exchange(port, request, context))
                return body if body.count(b"\ntarn_vm_bhyve_cpu_vm_cpus{") == vms else None
            document = bench_util.wait_for(lambda: full(plain_port), timeout=60 + vms)
            if not document or bench_util.wait_for(
                    lambda: full(tls_port, context, good), timeout=60 + vms) != document:
                sys.exit("the daemons never served the whole host")
            compressed = body_of(exchange(plain_port, scrape_request(encoding="gzip")), True)
            if gzip.decompress(compressed) != document:
                sys.exit("the gzip answer is not the document")

            rates = {}
            for _ in range(2):  # alternately, so that a change of load hits both
                for encoding in (None, "gzip"):
                    rates.setdefault(encoding, []).append(
                        wrk(wrk_path, plain_port, seconds, encoding))

            timing = {}
            for _ in range(2):
                for name, port, ctx, request, encoded in (
                        ("plain", plain_port, None, scrape_request(), False),
                        ("TLS", tls_port, context, scrape_request(f"{USER}:{PASSWORD}"), False),
                        ("plain, gzip", plain_port, None, scrape_request(encoding="gzip"), True),
                        ("TLS, gzip", tls_port, context,
                         scrape_request(f"{USER}:{PASSWORD}", "gzip"), True)):
                    timing.setdefault(name, []).extend(
                        latencies(port, request, samples // 2, ctx, encoded))

            flooder = subprocess.Popen(
                [sys.executable, "-c", FLOOD, str(tls_port), os.path.join(work, "ca.pem"),
                 str(seconds + 1), str(clients)], stdout=subprocess.PIPE, text=True)
            time.sleep(0.5)  # the flood under way
            flooded = []
            stop = time.monotonic() + seconds
            while time.monotonic() < stop:
                flooded += latencies(tls_port, scrape_request(f"{USER}:{PASSWORD}", "gzip"), 1,
                                     context, True)
                time.sleep(0.02)
            answers = json.loads(flooder.communicate(timeout=60 + seconds)[0])
            for daemon in (plain, secure):
                if not daemon.running():
                    sys.exit(f"a daemon ended during the runs; log:\n{daemon.log()}")

    print(f"GET /metrics of {vms} VMs with random figures:")
    print(f"  bytes per scrape: plain {len(document):,}, gzip {len(compressed):,}, "
          f"{len(document) / len(compressed):.2f} times fewer")
    print(f"  wrk -t1 -c10, {seconds} s per run, two runs each (req/s, transfer/s):")
    for encoding, runs in rates.items():
        label = f"Accept-Encoding: {encoding}" if encoding else "no Accept-Encoding"
        print(f"    {label:<24} " + ", ".join(f"{r:.1f} ({t})" for r, t in runs))
    mean = {k: sum(r for r, _ in v) / len(v) for k, v in rates.items()}
    print(f"    gzip / plain requests per second: {mean['gzip'] / mean[None]:.2f}")
    print(f"  one scrape on a fresh connection, {samples} each (Python client):")
    for name, values in timing.items():
        print(f"    {name:<12} p50 {percentile(values, 0.5) * 1000:7.2f} ms   "
              f"p99 {percentile(values, 0.99) * 1000:7.2f} ms")
    print(f"  good scrapes (TLS, gzip) during {clients} wrong-password clients: {len(flooded)}, "
          f"p50 {percentile(flooded, 0.5) * 1000:.1f} ms, p99 "
          f"{percentile(flooded, 0.99) * 1000:.1f} ms, max {max(flooded) * 1000:.1f} ms; "
          f"the flood's answers: {answers}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
