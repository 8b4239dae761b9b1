"""Every configuration example of the operator guide and the manual page, added below the sample
configuration exactly as the documents print it: -t and a start agree, and the example's settings
take effect, seen by stand-in servers under the examples' host names (a private /etc/hosts) and by
scrapes. The files the examples name are made under /usr/local/etc, /var on a private tmpfs. Root
only."""
import os
import re
import ssl
import subprocess
import tempfile

import fixture as fx
from fixture import simhost
from test_influx_output import StandIn

ETC = "/usr/local/etc"


def read(*path):
    with open(os.path.join(fx.SOURCE_DIR, *path)) as f:
        return f.read()


def check(config, effect):
    """-t and a start of config agree that it is valid; then effect() becomes true."""
    with tempfile.NamedTemporaryFile("w", suffix=".conf", dir=ETC) as f:
        f.write(config)
        f.flush()
        proc = subprocess.run([fx.BINARY, "-t", "-c", f.name], capture_output=True, timeout=60)
        assert (proc.returncode, proc.stdout) == (0, b"") and proc.stderr.endswith(
            f"Configuration {f.name} is valid\n".encode()), (config[-300:], proc)
        with fx.Daemon(config) as daemon:
            daemon.start()
            assert fx.wait_for(effect, 10), (config[-300:], daemon.log())


def test_examples():
    guide, page = read("docs", "operator-guide.md"), read("packaging", "tarn-vm-perfdata.8")
    blocks = re.findall(r"^```ini\n(.*?)^```$", guide, re.S | re.M)
    literal = re.findall(r"^\.Bd -literal[^\n]*\n(.*?)^\.Ed$", page, re.S | re.M)
    web_files = [re.search(r"^```yaml\n(tls_server_config:.*?)^```$", guide, re.S | re.M)[1],
                 *[b for b in literal if b.startswith("tls_server_config:")]]
    tls = [b for b in blocks if "web_config_file" in b] + [
        b for b in literal if b.startswith("[prometheus]")]
    (ca,), (v2,), (listen,), (victoria,), https = (
        [b for b in blocks if re.search(pattern, b)] for pattern in (
            "^ca_file =", "^token =", "listen = 127", "victoria", "url = https://"))
    assert (len(blocks), len(https), len(tls)) == (7, 2, 2), blocks  # all of them tried
    sample = read("packaging", "tarn-node.conf.sample")
    influx_on = sample.replace("\nenabled = false\n", "\nenabled = true\n")  # as the guide says
    untrusted = ssl.create_default_context()
    untrusted.check_hostname, untrusted.verify_mode = False, ssl.CERT_NONE
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(f"{ETC}/ssl/influx-ca.pem", f"{ETC}/ssl/influx-ca.key")
    influx, vm = StandIn(0, port=8086, context=context), StandIn(0, port=8428)
    # (blocks added below the sample, the server and what its first POST must carry)
    posts = [(https[0] + ca, influx, ("/write?db=tarn", "Basic dGFybjpzZWNyZXQ=")),  # tarn:secret
             (https[1] + ca, influx, ("/api/v2/write?org=my-org&bucket=tarn&precision=ns",
                                      "Token the-token")),
             (victoria, vm, ("/write?db=tarn", "Basic Og==")),
             (victoria + v2, vm, ("/api/v2/write?bucket=tarn&precision=ns",
                                  "Token the-token-or-any-text"))]
    with simhost.SimulatedHost():
        for added, server, first in posts:
            server.posts.clear()
            check(influx_on + added, lambda: server.posts)
            path, headers, *_ = server.posts[0]
            assert (path, headers["authorization"]) == first, (added, server.posts)
        check(sample + listen, lambda: b"200 OK" in fx.exchange(9274))
        for web, ini in zip(web_files, tls):
            with open(f"{ETC}/tarn-web.yml", "w") as f:
                f.write(web)
            check(sample + ini, lambda: b"HTTP/1.1 401" in fx.exchange(
                9273, wrap=lambda s: untrusted.wrap_socket(s)))


if __name__ == "__main__":
    # A loopback of its own: the ports are the documents' (9273, 9274, 8086, 8428), not free ones.
    simhost.enter_private_namespaces(network=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    # The certificates the examples name, their host names on 127.0.0.1, and the sample's buffer
    # folder, which the port creates.
    for mount_point in (ETC, "/var"):
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", mount_point], check=True)
    os.makedirs("/var/db/tarn_vm_perfdata")
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
    fx.main([test_examples])
