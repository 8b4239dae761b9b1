"""The scrape endpoint off loopback: the exporters' web config file (TLS, basic auth, headers,
rate limit), re-read on change, and gzip. Prometheus scrapes a host's shared web config while its
certificate and user are replaced; web config files are fed to the daemon and to promtool. Floods
of wrong passwords are bench/scrape_security.py's, hostile plain clients test_daemon's. Root only."""
import base64, contextlib, fcntl, gzip, os, pty, random, shutil, socket, ssl, subprocess, tempfile
import pathlib, termios, threading, time
from concurrent.futures import ThreadPoolExecutor

import fixture as fx
from fixture import simhost
from test_peers import Prometheus, Server, host_with_two_vms, wait_for

USER, PASSWORD = "scraper", "right horse"


def openssl(*args, directory):
    return subprocess.run(["openssl", *args], cwd=directory, check=True, capture_output=True,
                          text=True, timeout=60).stdout


def bcrypt_hash(password, cost=10):
    out = subprocess.run(["htpasswd", "-nbBC", str(cost), USER, password], check=True,
                         capture_output=True, text=True, timeout=60).stdout
    return out.strip().split(":", 1)[1]


class Pki:
    """A CA, two server certificates for 127.0.0.1, two client certificates (one SAN each) and
    a passphrase-protected key, all EC P-256."""

    def __init__(self):
        self.dir = d = tempfile.mkdtemp(prefix="tarn-pki-")
        key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
                "-subj", "/CN=tarn test CA", directory=d)
        client = "extendedKeyUsage=clientAuth\nsubjectAltName=DNS:"
        for name, extension in (("server", "subjectAltName=IP:127.0.0.1"),
                                ("server2", "subjectAltName=IP:127.0.0.1"),
                                ("client", client + "s.example"), ("other", client + "o.example")):
            openssl("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj",
                    f"/CN=tarn {name}", directory=d)
            with open(self.path(f"{name}.ext"), "w") as f:
                f.write(extension + "\n")
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile",
                    f"{name}.ext", directory=d)
        openssl("pkey", "-in", "client.key", "-aes256", "-passout", "pass:x", "-out",
                "locked.key", directory=d)
        self.hash = bcrypt_hash(PASSWORD)

    def path(self, name):
        return os.path.join(self.dir, name)

    def web_config(self, name, text):
        path = self.path(name)
        with open(path + ".new", "w") as f:  # renamed over: a reader never sees half of it
            f.write(text.replace("DIR", self.dir).replace("HASH", self.hash))
        os.replace(path + ".new", path)
        return path


PKI = None  # made once, inside the namespaces
TLS = "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
SHARED = (TLS + "  client_auth_type: VerifyClientCertIfGiven\n  client_ca_file: ca.pem\n"
          "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256]\n"
          "  curve_preferences: [X25519, CurveP256]\n  prefer_server_cipher_suites: true\n"
          "http_server_config:\n  http2: true\n  headers: {X-Frame-Options: deny, "
          "X-Content-Type-Options: nosniff}\nbasic_auth_users:\n  " + USER + ": HASH\n")
SANS = ("tls_server_config:\n  cert_file: DIR/server.pem\n  key_file: DIR/server.key\n"
        "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n"
        "  client_allowed_sans: [s.example]\n")


def daemon_with(port, web_config=None, extra=""):
    extra = (f"web_config_file = {web_config}\n" if web_config else "") + extra
    return fx.Daemon(fx.daemon_config(port).replace("[prometheus]\n", "[prometheus]\n" + extra))


def request(auth=None, encoding=None):
    head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    if auth:
        head += "Authorization: Basic " + base64.b64encode(":".join(auth).encode()).decode() + "\r\n"
    if encoding:
        head += f"Accept-Encoding: {encoding}\r\n"
    return (head + "\r\n").encode()


def client_context(cert=None):
    context = ssl.create_default_context(cafile=PKI.path("ca.pem"))
    if cert:
        context.load_cert_chain(PKI.path(f"{cert}.pem"), PKI.path(f"{cert}.key"))
    return context


def https_exchange(port, data, context=None, session=None, seen=None):
    """One request over TLS; the bytes of the answer up to the server's close. seen (a dict)
    gets the session, whether it was resumed and the server certificate's serial."""
    def wrap(raw):
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # as Prometheus (Go) does
        s = (context or client_context()).wrap_socket(raw, server_hostname="127.0.0.1",
                                                      session=session)
        if seen is not None:
            seen.update(session=s.session, reused=s.session_reused,
                        serial=int(s.getpeercert()["serialNumber"], 16))
        return s
    return fx.exchange(port, data, wrap=wrap)


def split(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    return head.decode(), body


def test_plain_and_gzip():
    # Without a web config: the plain document (its head byte for byte is test_daemon's), or with
    # gzip allowed one gzip member of it; gzip = false answers plainly. (The rate limit is the
    # gates test's; that a stop does not wait for a running bcrypt check is CredentialCheckTest's.)
    port, off = fx.free_port(), fx.free_port()
    with daemon_with(port).start(), daemon_with(off, extra="gzip = false\n").start():
        body = fx.body(wait_for(lambda: b'vm_id="8"' in (b := fx.exchange(port)) and b, 10))
        for encoding, compressed in (("br;q=1, gzip;q=0.5", True), ("gzip;q=0", False)):
            head, answer = split(fx.exchange(port, request(encoding=encoding)))
            assert ("\r\nContent-Encoding: gzip\r\n" in head + "\r\n") == compressed, head
            assert f"\r\nContent-Length: {len(answer)}" in head, head
            assert (gzip.decompress(answer) if compressed else answer) == body, encoding
            assert not compressed or len(answer) * 3 < len(body)
        head, answer = split(wait_for(lambda: b'vm_id="8"' in (
            b := fx.exchange(off, request(encoding="gzip"))) and b, 10))
        assert "Content-Encoding" not in head and answer == body, head


def test_prometheus_shared_config_and_reload():
    # One Prometheus, three jobs: the right password and a wrong one on a daemon with a host's
    # shared web config, and a client certificate on a daemon that allows one SAN. Then the
    # certificate, key and password are replaced in place while Prometheus scrapes, and a broken
    # replacement follows.
    auth, sans, web = fx.free_port(), fx.free_port(), fx.free_port()
    ca, pw = PKI.path("ca.pem"), PKI.path("password")
    pathlib.Path(pw).write_text(PASSWORD)
    shared = PKI.web_config("shared.yml", SHARED)
    jobs = [("good", auth, "", f"username: {USER}, password_file: {pw}"),
            ("wrong", auth, "", f"username: {USER}, password: nope"),
            ("sans", sans, f", cert_file: {PKI.path('client.pem')}, key_file: "
             f"{PKI.path('client.key')}", None)]
    config = "global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs:\n" + "".join(
        f"  - job_name: {job}\n    scheme: https\n    static_configs: [{{targets: "
        f"['127.0.0.1:{port}']}}]\n    tls_config: {{ca_file: {ca}{tls}}}\n" +
        (f"    basic_auth: {{{basic}}}\n" if basic else "") for job, port, tls, basic in jobs)
    with daemon_with(auth, shared, "self_metrics = true\n").start() as daemon, \
            daemon_with(sans, PKI.web_config("sans.yml", SANS)).start(), \
            Server(["prometheus", "--config.file=DIR/p.yml", "--storage.tsdb.path=DIR/data",
                    f"--web.listen-address=127.0.0.1:{web}"], "p.yml", config,
                   f"http://127.0.0.1:{web}/-/ready"):
        prometheus = Prometheus(web)
        assert daemon.log_lines("info", "HTTP/2 is not served")
        assert not fx.exchange(auth).startswith(b"HTTP/")  # plain HTTP to the TLS port

        # What Prometheus stores of a scrape is test_peers' (plain HTTP); here: up.
        for job, up in (("good", "1"), ("wrong", "0"), ("sans", "1")):
            assert wait_for(lambda: prometheus.value(f'up{{job="{job}"}}') == up, 30), job
        head, body = split(https_exchange(auth, request((USER, "nope"))))
        assert head == ("HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain; "
                        "charset=utf-8\r\nContent-Length: 17\r\nWWW-Authenticate: Basic "
                        'realm="tarn-vm-perfdata"\r\nX-Frame-Options: deny\r\n'
                        "X-Content-Type-Options: nosniff\r\nConnection: close"), head
        assert body == b"401 Unauthorized\n"
        for pair in (None, ("nobody", PASSWORD), (USER, PASSWORD + "\0junk")):
            assert split(https_exchange(auth, request(pair)))[0].startswith("HTTP/1.1 401 ")
        # client_allowed_sans: a certificate of the same CA other than the sans job's is refused
        # (by the handshake's alert or a close without an answer).
        with contextlib.suppress(OSError):
            assert not https_exchange(sans, request(), client_context("other")).startswith(b"HTTP")
        # A TLS 1.2 client offering its session again gets a full handshake and its answer.
        seen, tls12 = {}, client_context("client")
        tls12.maximum_version = ssl.TLSVersion.TLSv1_2
        assert fx.body(https_exchange(sans, request(), tls12, seen=seen))
        assert fx.body(https_exchange(sans, request(), tls12, session=seen["session"],
                                      seen=seen)) and not seen["reused"]

        # Replaced in place: certificate and key (each renamed over), password and hash.
        for name in ("server.pem", "server.key"):
            shutil.copy(PKI.path(name.replace("server", "server2")), PKI.path(name + ".new"))
            os.rename(PKI.path(name + ".new"), PKI.path(name))
        new = "new horse"
        pathlib.Path(pw).write_text(new)
        PKI.web_config("shared.yml", SHARED.replace("HASH", bcrypt_hash(new)))
        good, old_serial = request((USER, new)), seen["serial"]
        assert wait_for(lambda: https_exchange(auth, good, seen=seen).startswith(
            b"HTTP/1.1 200 ") and seen["serial"] != old_serial, 10)
        # A scrape may fail while both change; the scrapes of 3 s after that all succeed (a
        # later window when the busy machine let one time out).
        changed = time.time()
        assert wait_for(lambda: time.time() > changed + 4 and prometheus.value(
            'min_over_time(up{job="good"}[3s])') == "1", 20)
        gauge = 'tarn_vm_exporter_web_config_last_reload_successful{job="good"}'
        assert prometheus.value(gauge) == "1"
        # A broken replacement (a key of another certificate) keeps the last good one.
        PKI.web_config("shared.yml", SHARED.replace("server.key", "client.key"))
        assert wait_for(lambda: prometheus.value(gauge) == "0", 10)
        assert fx.body(https_exchange(auth, good))
        assert wait_for(lambda: prometheus.value('up{job="good"}') == "1", 10)
        errors = daemon.log_lines("error", "does not match")
        assert errors == [f"Web config {shared}: tls_server_config.key_file: key_file "
                          f"'{PKI.path('client.key')}' does not match cert_file "
                          f"'{PKI.path('server.pem')}'; new connections are served with the "
                          "web config loaded before"], errors


def test_gates_of_every_answer():
    # TLS 1.3 suites only and rate_limit burst 1: a TLS 1.2 handshake fails, as the warning at
    # load says; connections that bring no request take no token and count no scrape; the one
    # whole request gets 200, then requests that never end their head get 429 at the deadline.
    web = PKI.web_config("gates.yml", TLS + "  cipher_suites: [TLS_AES_256_GCM_SHA384]\n"
                         "rate_limit: {interval: 1m, burst: 1}\n")
    port, tls12 = fx.free_port(), client_context()
    tls12.maximum_version = ssl.TLSVersion.TLSv1_2
    with daemon_with(port, web, "self_metrics = true\n").start() as daemon:
        assert daemon.log_lines("warning", "cipher_suites: no TLS 1.2 suite is named, so TLS ")
        socket.create_connection(("127.0.0.1", port)).close()
        client_context().wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                     server_hostname="127.0.0.1").close()
        with contextlib.suppress(ssl.SSLError):
            https_exchange(port, request(), tls12)
            raise AssertionError("a TLS 1.2 handshake succeeded")
        time.sleep(2.5)  # a feed renders the document again, with what was counted
        head, body = split(https_exchange(port, request()))
        assert head.startswith("HTTP/1.1 200 ") and b"scrapes_total{" not in body, head
        with ThreadPoolExecutor(3) as pool:
            cut = pool.map(lambda _: https_exchange(port, request()[:-2])[:12], range(3))
        assert list(cut) == [b"HTTP/1.1 429"] * 3


def test_password_change_while_checks_wait():
    # The password changes (a new file renamed over) while checks wait behind wrong ones: the old
    # password sent after the reload gets 401 (a fault gives it the 200 of its check still waiting
    # under the old hash); the new one, asked last (a busy machine's check can outlast 8 s), 200.
    text, old, new = "basic_auth_users:\n  " + USER + ": {}\n", "old horse", "new horse"
    web = PKI.web_config("change.yml", text.format(bcrypt_hash(old, 12)))
    renewed, port = text.format(bcrypt_hash(new, 12)), fx.free_port()
    ask = lambda password: fx.exchange(port, request((USER, password)))[:12]
    with daemon_with(port, web).start() as daemon, ThreadPoolExecutor(32) as pool:
        began = time.monotonic()
        ask("wrong")  # one check's time: the queue is about 3 s of them, each a check of its own
        for i in range(min(24, int(3 / (time.monotonic() - began)))):
            pool.submit(ask, f"wrong {i}")
        # Asked before the reload: the daemon has read its request (nothing left in its socket's
        # receive queue), which a fixed pause could not promise on a loaded machine.
        client = socket.create_connection(("127.0.0.1", port))
        client.sendall(request((USER, old)))
        assert wait_for(lambda: fx.taken_by_daemon(port, client), 10)
        before = pool.submit(lambda: client.recv(12))
        PKI.web_config("change.yml", renewed)
        assert wait_for(lambda: socket.create_connection(("127.0.0.1", port)).close() or
                        daemon.log_lines("info", "reloaded"), 10)
        assert not before.done(), "the queue ran out before the reload"
        after = pool.submit(ask, old)
        assert [after.result(), before.result()] == [b"HTTP/1.1 401", b"HTTP/1.1 200"], (
            after.result(), before.result())
        client.close()
        assert wait_for(lambda: ask(new) == b"HTTP/1.1 200", 10)


def test_rewritten_in_place():
    # The TLS and password set rewritten in place, a few bytes every 0.1-0.25 s after truncating
    # it, while requests without a password run over plain HTTP and TLS: each cut-off state (empty,
    # in the comment, "basic_auth_users:") asks for nothing, yet none gets 200. Then the finished
    # set holds (plain HTTP, the user), TLS dropped with a warning.
    path = PKI.web_config("inplace.yml", TLS + "basic_auth_users:\n  " + USER + ": HASH\n")
    final = "# rewritten in place, a few bytes at a time\n" * 4 + f"basic_auth_users: {{{USER}: "
    final += PKI.hash + "}\n"
    with daemon_with(port := fx.free_port(), path).start() as daemon:
        def rewrite():
            with open(path, "w") as f:
                for start in range(0, len(final), 16):
                    time.sleep(random.uniform(0.1, 0.25))
                    print(final[start:start + 16], end="", file=f, flush=True)
        (writer := threading.Thread(target=rewrite)).start()
        answers = []
        while writer.is_alive():
            answers += [fx.exchange(port)[:12], https_exchange(port, request())[:12]]
        assert b"HTTP/1.1 200" not in answers and len(answers) > 20, (len(answers), daemon.log())
        assert wait_for(lambda: fx.exchange(port, request((USER, PASSWORD))).startswith(
            b"HTTP/1.1 200 "), 10), daemon.log()
        assert daemon.log_lines("warning", "") == [f"Web config {path} reloaded without TLS (the "
                                                   "running set had it): new connections are "
                                                   "served over plain HTTP"], daemon.log()


# (web config text, the daemon's error after "Web config FILE: " or None when both accept it,
# whether promtool 2.42 knows every key in it). "locked.key" is passphrase-protected.
CONFIGS = [
    ("", None, True),
    (SHARED, None, True),
    (TLS + "  client_auth_type: RequireAnyClientCert\n  min_version: TLS10\n  max_version: TLS12\n"
     "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256]\n", None, True),
    (TLS + "  ciphers: x\n", "tls_server_config.ciphers: unknown key", True),
    ("basic_auth_users:\n  scraper: secret\n", "basic_auth_users.scraper: not a bcrypt hash", True),
    ("basic_auth_users:\n  - scraper:HASH\n", "basic_auth_users: write each user as 'user: ", True),
    ("basic_auth_users:\n\tscraper: HASH\n", "line 2: tabs are not allowed for indentation", True),
    ("tls_server_config:\n  cert_file: missing.pem\n  key_file: server.key\n",
     "tls_server_config.cert_file: cannot load the certificate 'DIR/missing.pem': ", True),
    (TLS.replace("server.key", "client.key"), "tls_server_config.key_file: key_file "
     "'DIR/client.key' does not match cert_file 'DIR/server.pem'", True),
    (TLS.replace("server.key", "locked.key").replace("server.pem", "client.pem"),
     "tls_server_config.key_file: the private key 'DIR/locked.key' is encrypted", True),
    (TLS + "  client_auth_type: VerifyClientCertIfGiven\n",
     "tls_server_config.client_ca_file: missing, and a client auth type that verifies", False),
    (TLS + "  cipher_suites: [TLS_RSA_WITH_ROT13]\n", "tls_server_config.cipher_suites: "
     "'TLS_RSA_WITH_ROT13' is not a cipher suite this OpenSSL has", True),
    ("http_server_config:\n  headers: {Server: x}\n", "http_server_config.headers.Server: ", True)]


def test_web_config_files_with_promtool():
    # Each file: promtool and the daemon agree; a refused one gets one error naming the file and
    # the key and status 1 (under a terminal: a passphrase is never asked for), an accepted one
    # starts (an empty one with a warning).
    for number, (text, error, known) in enumerate(CONFIGS):
        path = PKI.web_config(f"c{number}.yml", text)
        checked = subprocess.run(["promtool", "check", "web-config", path],
                                 capture_output=True, text=True, timeout=30)
        assert not known or (checked.returncode == 0) == (error is None), (text, checked)
        with daemon_with(fx.free_port(), path) as daemon:
            if error is None:
                daemon.start()
                assert bool(daemon.log_lines("warning", "neither TLS nor basic auth")) == (
                    text == ""), daemon.log()
                continue
            other_end, terminal = pty.openpty()  # its controlling terminal: OpenSSL's prompt
            status = subprocess.run(
                daemon.args, stdin=terminal, stdout=subprocess.DEVNULL, timeout=10 * fx.SLACK,
                stderr=subprocess.DEVNULL, preexec_fn=lambda: (
                    os.setsid(), fcntl.ioctl(0, termios.TIOCSCTTY, 0))).returncode
            os.close(terminal)
            os.close(other_end)
            errors = daemon.log_lines("error", "^Web config ")
            expected = f"Web config {path}: " + error.replace("DIR", PKI.dir)
            assert status == 1 and len(errors) == 1, (status, daemon.log())
            assert errors[0].startswith(expected), (errors[0], expected)


def main():
    global PKI
    if not fx.BINARY:
        fx.main([])
    simhost.enter_private_namespaces()
    PKI = Pki()
    try:
        with simhost.SimulatedHost() as host:
            host_with_two_vms(host)
            fx.main([test_gates_of_every_answer, test_password_change_while_checks_wait,
                     test_plain_and_gzip, test_rewritten_in_place,
                     test_prometheus_shared_config_and_reload, test_web_config_files_with_promtool])
    finally:
        shutil.rmtree(PKI.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
