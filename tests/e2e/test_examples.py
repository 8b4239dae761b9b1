"""Every configuration example of the operator guide and the manual page, added below the sample
configuration exactly as the documents print it: -t and a start agree, and the example's settings
take effect, seen by stand-in servers under the examples' host names (a private /etc/hosts) and by
scrapes. The files the examples name are made under /usr/local/etc (a private tmpfs). Root only."""
import base64
import os
import re
import ssl
import subprocess
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import fixture as fx
from fixture import simhost

DOCS = os.path.join(fx.SOURCE_DIR, "docs", "operator-guide.md")
PAGE = os.path.join(fx.SOURCE_DIR, "packaging", "tarn-vm-perfdata.8")
SAMPLE = os.path.join(fx.SOURCE_DIR, "packaging", "tarn-node.conf.sample")
ETC = "/usr/local/etc"


def read(path):
    with open(path) as f:
        return f.read()


class Recorder(ThreadingHTTPServer):
    """Keeps (path, Authorization) of each POST on 127.0.0.1:port and answers 204."""

    def __init__(self, port, context=None):
        posts = self.posts = []

        class Handler(BaseHTTPRequestHandler):
            protocol_version, log_message = "HTTP/1.1", lambda *args: None

            def do_POST(self):  # noqa: N802
                self.rfile.read(int(self.headers["Content-Length"]))
                posts.append((self.path, self.headers.get("Authorization")))
                self.send_response(204)
                self.send_header("Content-Length", "0")
                self.end_headers()

        super().__init__(("127.0.0.1", port), Handler)
        if context:
            self.socket = context.wrap_socket(self.socket, server_side=True)
        threading.Thread(target=self.serve_forever, daemon=True).start()


def private_etc():
    """/usr/local/etc on a tmpfs with the certificates the examples name, and the examples' hosts
    on 127.0.0.1."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", ETC], check=True)
    os.makedirs(f"{ETC}/ssl")
    for name, host in (("influx-ca", "influx.example.org"), ("tarn", "bhyve1.example.org")):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                        f"{ETC}/ssl/{name}.key", "-out", f"{ETC}/ssl/{name}.pem", "-days", "2",
                        "-subj", f"/CN={host}", "-addext", f"subjectAltName=DNS:{host}"],
                       check=True, capture_output=True, timeout=60)
    with open(f"{ETC}/hosts", "w") as f:
        f.write("127.0.0.1 localhost influx.example.org victoria.example.org\n")
    subprocess.run(["mount", "--bind", f"{ETC}/hosts", "/etc/hosts"], check=True)


def check(config, effect):
    """-t and a start of config agree that it is valid; then effect() becomes true."""
    with tempfile.NamedTemporaryFile("w", suffix=".conf", dir=ETC) as f:
        f.write(config)
        f.flush()
        proc = subprocess.run([fx.BINARY, "-t", "-c", f.name], capture_output=True, timeout=60)
        assert (proc.returncode, proc.stdout) == (0, b"") and proc.stderr.endswith(
            f"Configuration {f.name} is valid\n".encode()), (config[-300:], proc)
        with fx.Daemon(read(f.name)) as daemon:
            daemon.start()
            assert fx.wait_for(effect, 10), (config[-300:], daemon.log())


def scrape(port, context=None):
    try:
        return fx.exchange(port, wrap=context and (lambda s: context.wrap_socket(s)))
    except OSError:
        return b""


def test_examples():
    guide = re.findall(r"^```ini\n(.*?)^```$", read(DOCS), re.S | re.M)
    page = re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed$", read(PAGE), re.S | re.M)
    web_files = [re.search(r"^```yaml\n(tls_server_config:.*?)^```$", read(DOCS), re.S | re.M)[1],
                 *[b for b in page if b.startswith("tls_server_config:")]]
    tls_blocks = [b for b in guide if "web_config_file" in b] + [
        b for b in page if b.startswith("[prometheus]")]
    ca, = [b for b in guide if b.startswith("ca_file =")]
    v2, = [b for b in guide if b.startswith("token =")]
    listen, = [b for b in guide if "listen = 127" in b]
    https = [b for b in guide if "url = https://" in b]
    victoria, = [b for b in guide if "victoria" in b]
    assert (len(guide), len(https), len(tls_blocks)) == (7, 2, 2), guide  # all of them tried
    sample = read(SAMPLE)
    influx_on = sample.replace("\nenabled = false\n", "\nenabled = true\n")  # as the guide says
    untrusted = ssl.create_default_context()
    untrusted.check_hostname, untrusted.verify_mode = False, ssl.CERT_NONE
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(f"{ETC}/ssl/influx-ca.pem", f"{ETC}/ssl/influx-ca.key")
    influx, victoria_server = Recorder(8086, tls), Recorder(8428)
    # (blocks added below the sample, the server and what its first POST must carry)
    posts = [(https[0] + ca, influx, ("/write?db=tarn",
                                      "Basic " + base64.b64encode(b"tarn:secret").decode())),
             (https[1] + ca, influx, ("/api/v2/write?org=my-org&bucket=tarn&precision=ns",
                                      "Token the-token")),
             (victoria, victoria_server, ("/write?db=tarn", "Basic Og==")),
             (victoria + v2, victoria_server, ("/api/v2/write?bucket=tarn&precision=ns",
                                               "Token the-token-or-any-text"))]
    try:
        with simhost.SimulatedHost():
            for blocks, server, first in posts:
                server.posts.clear()
                check(influx_on + blocks, lambda: server.posts)
                assert server.posts[0] == first, (blocks, server.posts)
            check(sample + listen, lambda: b"200 OK" in scrape(9274))
            for web, ini in zip(web_files, tls_blocks):
                with open(f"{ETC}/tarn-web.yml", "w") as f:
                    f.write(web)
                check(sample + ini, lambda: b"HTTP/1.1 401" in scrape(9273, untrusted))
    finally:
        influx.shutdown()
        victoria_server.shutdown()


if __name__ == "__main__":
    simhost.enter_private_namespaces()
    private_etc()
    fx.main([test_examples])
