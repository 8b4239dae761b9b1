"""The running daemon's scrape server over real sockets: exact answers, time-outs, addresses.

Runs as root in private mount and PID namespaces; the host has no VMs and its vCPU-limit
settings are set here, so the whole 200 body is known in advance.
"""
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_util as du  # noqa: E402
import harness  # noqa: E402

# delay_ms 250 -> 0.25 s, burst_secs 3 -> 3 s, rate_limit and hz unconverted.
DOCUMENT = du.host_scrape("0.25", "40", "3", "2400000000")
OK = du.ok(DOCUMENT)


class ScrapeAnswers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        du.set_host_limits(250, 40, 3)
        cls.port = harness.free_port()
        cls.daemon = du.Daemon(du.daemon_config(cls.port)).start()
        # The first feed fills the store; wait until a scrape shows it.
        if not du.wait_until(lambda: cls.get(b"GET /metrics HTTP/1.1\r\n\r\n") == OK, 10):
            cls.daemon.kill()
            raise AssertionError(f"no full scrape; log:\n{cls.daemon.log()}")

    @classmethod
    def tearDownClass(cls):
        status = cls.daemon.stop(timeout=5)
        cls.daemon.__exit__(None, None, None)
        assert status == 0, status

    @classmethod
    def get(cls, request, **kwargs):
        return du.exchange(cls.port, [request], **kwargs)

    def assert_alive(self):
        self.assertTrue(self.daemon.running(), self.daemon.log())
        self.assertEqual(self.get(b"GET /metrics HTTP/1.1\r\n\r\n"), OK)

    def test_request_lines(self):
        cases = [
            (b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n", OK),
            (b"GET /metrics HTTP/1.0\r\n\r\n", OK),
            (b"GET /metrics?x=1 HTTP/1.1\r\n\r\n", OK),
            (b"GET /metrics?name=x&y=%20 HTTP/1.1\r\n\r\n", OK),
            (b"GET /metrics\r\n\r\n", OK),  # no version at all
            (b"GET /metrics/ HTTP/1.1\r\n\r\n", du.NOT_FOUND),
            (b"GET /Metrics HTTP/1.1\r\n\r\n", du.NOT_FOUND),
            (b"GET / HTTP/1.1\r\n\r\n", du.NOT_FOUND),
            (b"GET /metricsx HTTP/1.1\r\n\r\n", du.NOT_FOUND),
            (b"GET ?/metrics HTTP/1.1\r\n\r\n", du.NOT_FOUND),
            (b"GET\r\n\r\n", du.NOT_FOUND),  # bare GET: empty path
            (b"GET  /metrics HTTP/1.1\r\n\r\n", du.NOT_FOUND),  # two spaces: empty target
            (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", du.NOT_ALLOWED),
            (b"HEAD /metrics HTTP/1.1\r\n\r\n", du.NOT_ALLOWED),
            (b"get /metrics HTTP/1.1\r\n\r\n", du.NOT_ALLOWED),
            (b"PUT /metrics HTTP/1.1\r\n\r\n", du.NOT_ALLOWED),
            (b"\r\n\r\n", du.NOT_ALLOWED),  # empty request line
            (b" GET /metrics HTTP/1.1\r\n\r\n", du.NOT_ALLOWED),
        ]
        for request, expected in cases:
            with self.subTest(request=request):
                self.assertEqual(self.get(request), expected)

    def test_header_block_of_a_200(self):
        answer = self.get(b"GET /metrics HTTP/1.1\r\n\r\n")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.assertEqual(head.split(b"\r\n"), [
            b"HTTP/1.1 200 OK",
            b"Content-Type: text/plain; version=0.0.4; charset=utf-8",
            b"Content-Length: %d" % len(DOCUMENT.encode()),
            b"Connection: close"])
        self.assertEqual(body, DOCUMENT.encode())

    def test_body_equals_the_one_shot_dump_and_passes_promtool(self):
        dump = harness.run_daemon(["-p", "-c", self.daemon.config_path])
        self.assertEqual(dump.returncode, 0, dump.stderr)
        answer = self.get(b"GET /metrics HTTP/1.1\r\n\r\n")
        self.assertEqual(answer.partition(b"\r\n\r\n")[2], dump.stdout)
        passed, output = harness.promtool_check(dump.stdout)
        self.assertTrue(passed, output)

    def test_request_in_small_segments_with_pauses(self):
        cases = [
            ([b"GE", b"T /met", b"rics HTTP/1.1\r", b"\nHost: a\r\n", b"\r", b"\n"], OK),
            ([b"POST", b" /metrics HTTP/1.1\r\n", b"\r\n"], du.NOT_ALLOWED),
            ([b"GET /x", b" HTTP/1.1\r\n\r", b"\n"], du.NOT_FOUND),
        ]
        for segments, expected in cases:
            with self.subTest(segments=segments):
                started = time.monotonic()
                self.assertEqual(du.exchange(self.port, segments, pause=0.3), expected)
                # Answered once the header block is complete, not after a time-out.
                self.assertLess(time.monotonic() - started, 0.3 * len(segments) + 1.5)

    def test_peer_closing_its_side_ends_the_request(self):
        cases = [(b"GET /metrics HTTP/1.1", OK), (b"GET /nope", du.NOT_FOUND), (b"", du.NOT_ALLOWED)]
        for request, expected in cases:
            with self.subTest(request=request):
                started = time.monotonic()
                self.assertEqual(self.get(request, shut_write=True), expected)
                self.assertLess(time.monotonic() - started, 1.5)

    def test_request_over_64_kib_is_answered_from_its_first_line(self):
        pad = b"X-Pad: " + b"a" * 70000  # never a blank line
        cases = [(b"GET /metrics HTTP/1.1\r\n" + pad, OK),
                 (b"GET /other HTTP/1.1\r\n" + pad, du.NOT_FOUND),
                 (b"POST /metrics HTTP/1.1\r\n" + pad, du.NOT_ALLOWED),
                 (b"GET /metrics" + b"?" + b"q" * 70000, OK)]  # a request line of 70000 bytes
        for request, expected in cases:
            with self.subTest(start=request[:24]):
                started = time.monotonic()
                self.assertEqual(self.get(request), expected)
                self.assertLess(time.monotonic() - started, 1.5)  # not the 8-second deadline
        self.assert_alive()

    def test_client_that_sends_nothing_gets_405_after_the_deadline(self):
        started = time.monotonic()
        self.assertEqual(du.exchange(self.port, [], timeout=20), du.NOT_ALLOWED)
        waited = time.monotonic() - started
        # The whole-connection deadline is 8 s, kept by the server's event loop.
        self.assertGreaterEqual(waited, 7.5)
        self.assertLess(waited, 9)
        self.assert_alive()

    def test_connections_are_answered_side_by_side(self):
        # A silent client waits for its deadline; a second client is answered meanwhile.
        silent = socket.create_connection(("127.0.0.1", self.port))
        try:
            time.sleep(0.3)
            started = time.monotonic()
            answer = self.get(b"GET /metrics HTTP/1.1\r\n\r\n", timeout=20)
            waited = time.monotonic() - started
            self.assertEqual(answer, OK)
            self.assertLess(waited, 1.5)
            silent.settimeout(10)
            self.assertEqual(silent.recv(65536), du.NOT_ALLOWED)
        finally:
            silent.close()


class EmptyStore(unittest.TestCase):
    """Before the first feed has finished the store is empty: 200 with no body."""

    def test_scrape_before_the_first_feed(self):
        du.set_host_limits(250, 40, 3)
        # A FIFO as the delay setting holds the first feed in its sysctl read until we write.
        fifo = os.path.join(du.SYSCTL_DIR, "hw.vmm.vcpu_limit.class.1.delay_ms")
        os.remove(fifo)
        os.mkfifo(fifo)
        port = harness.free_port()
        with du.Daemon(du.daemon_config(port)) as daemon:
            try:
                daemon.start()
                self.assertEqual(du.exchange(port), du.ok(b""))
                self.assertEqual(du.exchange(port), b"HTTP/1.1 200 OK\r\n"
                                 b"Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                 b"Content-Length: 0\r\nConnection: close\r\n\r\n")
                writer = du.wait_until(lambda: _open_fifo_writer(fifo), 5)
                self.assertIsNotNone(writer, "the daemon never opened the setting")
                os.write(writer, b"250\n")
                os.close(writer)
                du.set_host_limits(250, 40, 3)  # a plain file again for the next feeds
                self.assertTrue(du.wait_until(lambda: du.exchange(port) == OK, 5),
                                du.exchange(port))
                self.assertEqual(daemon.stop(), 0)
            finally:
                du.set_host_limits(250, 40, 3)


def _open_fifo_writer(path):
    try:
        return os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        return None  # no reader yet


class ListenAddresses(unittest.TestCase):
    def setUp(self):
        du.set_host_limits(250, 40, 3)

    def test_ipv6_loopback_without_brackets(self):
        port = harness.free_port("::1")
        with du.Daemon(du.daemon_config(port, listen=f"::1:{port}")) as daemon:
            daemon.start()
            self.assertTrue(du.wait_until(lambda: du.exchange(port, host="::1") == OK, 10),
                            daemon.log())
            self.assertEqual(du.exchange(port, [b"GET /x HTTP/1.1\r\n\r\n"], host="::1"),
                             du.NOT_FOUND)
            # Bound to ::1 only: nothing listens on the IPv4 loopback at that port.
            with self.assertRaises(ConnectionRefusedError):
                du.exchange(port)
            self.assertEqual(daemon.stop(), 0)

    def test_port_already_in_use(self):
        blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            blocker.bind(("127.0.0.1", 0))
            blocker.listen(1)
            port = blocker.getsockname()[1]
            for listen in (f"127.0.0.1:{port}", f"0.0.0.0:{port}"):
                with self.subTest(listen=listen):
                    with du.Daemon(du.daemon_config(port, listen=listen)) as daemon:
                        daemon.start(wait_for=None)
                        status = daemon.wait(10)
                        self.assertEqual(status, 1, daemon.log())
                        self.assertEqual(daemon.log_lines("error", "."), [f"cannot bind to {listen}"])
                        self.assertNotIn("Started", daemon.log())
                        self.assertNotIn("Exiting", daemon.log())
        finally:
            blocker.close()


if __name__ == "__main__":
    du.enter_private_namespaces()
    unittest.main()
