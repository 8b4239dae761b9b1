"""What an operator installs, checked with the real tools: the cmake install tree, the manual page
(mandoc), the rc.d script (shellcheck), the Prometheus examples (promtool), the fleet examples (by
promtool, the daemon's -t, VictoriaMetrics and vmagent started with their flags), the exported
families the manual, the guide and the rules name, the dashboards against their generator. Needs
no root. (A scrape piped into promtool and the dashboards' queries are test_peers.py's.)"""
import os
import re
import shutil
import stat
import subprocess
import tempfile

import fixture as fx
from test_dump import FAMILIES

PACKAGING = os.path.join(fx.SOURCE_DIR, "packaging")
EXAMPLES = os.path.join(PACKAGING, "examples")
FLEET = os.path.join(EXAMPLES, "fleet")
EXPORTED = {f"tarn_vm_{m}_{f.partition(':')[2] or f}" for m, fields in FAMILIES
            for f in fields.split()}
# The daemon's own families, with self_metrics = true.
HEALTH = {"tarn_vm_exporter_" + name for name in (
    "build_info collection_duration_seconds collection_end_timestamp_seconds "
    "collection_interval_seconds vms_found tool_failures_total shm_skipped_total scrapes_total "
    "connections_evicted_total influx_lines_sent_total influx_lines_refused_total "
    "influx_lines_dropped_total influx_lines_buffered influx_buffer_limit_lines "
    "influx_buffer_file_lines influx_buffer_file_bytes influx_buffer_file_write_failures_total "
    "influx_buffer_files_set_aside_total "
    "web_config_last_reload_successful web_config_last_reload_success_timestamp_seconds").split()}
# Lint about FreeBSD manuals this host lacks, or its manual database, says nothing of the page.
HOST_DEPENDENT_LINT = re.compile(r"referenced manual not found|mandoc\.db")


def run(*args, cwd=None):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=60, cwd=cwd)
    return proc.returncode, proc.stdout + proc.stderr


def read(*path):
    with open(os.path.join(*path)) as f:
        return f.read()


def test_install_tree_and_rc_script():
    prefix = tempfile.mkdtemp(prefix="tarn-install-")
    try:
        status, out = run("cmake", "--install", os.environ["TARN_BUILD_DIR"], "--prefix", prefix)
        assert status == 0, out
        found = {os.path.relpath(os.path.join(root, name), prefix):
                 stat.S_IMODE(os.lstat(os.path.join(root, name)).st_mode)
                 for root, _, names in os.walk(prefix) for name in names}
        assert found == {"sbin/tarn-vm-perfdata": 0o755, "etc/tarn-node.conf.sample": 0o600,
                         "share/man/man8/tarn-vm-perfdata.8": 0o644}, found
        sample, binary, page = (os.path.join(prefix, p) for p in sorted(found))
        assert read(page) == read(PACKAGING, "tarn-vm-perfdata.8")
        status, out = run(binary, "--version")
        assert status == 0 and re.fullmatch(r"tarn-vm-perfdata version: \d+\n", out), out
        assert run(binary, "-t", "-c", sample) == (0, f"Configuration {sample} is valid\n")
        assert run("mandoc", "-T", "lint", "-W", "warning", page) == (0, "")
        lint = run("mandoc", "-T", "lint", "-W", "style", page)[1].splitlines()
        assert not [line for line in lint if not HOST_DEPENDENT_LINT.search(line)], lint
    finally:
        shutil.rmtree(prefix)
    rc = os.path.join(PACKAGING, "freebsd", "rc.d", "tarn_vm_perfdata")
    assert run("shellcheck", "--shell=sh", "--severity=style", rc) == (0, "")
    assert os.stat(rc).st_mode & stat.S_IXUSR


def flags(name, work, ports):
    """The ARGS of an /etc/default file as the shell splits them, with its ports on loopback (any
    not in ports closed) and its directories in work."""
    args = run("bash", "-c", f'. "{FLEET}/{name}" && printf "%s\\n" $ARGS')[1]
    args = re.sub(r"([\w.]+\.example\.org)?:(\d+)\b",
                  lambda m: f"127.0.0.1:{ports.get(m[2], 1)}", args)
    return re.sub(r"/etc/vm\w+|/var/lib", work, args).split()


def test_examples():
    for cwd, *args in ((EXAMPLES, "check", "config", "prometheus.yml"),
                       (EXAMPLES, "test", "rules", "tarn-vm-perfdata.rules.test.yml"),
                       (FLEET, "check", "config", "prometheus.yml"),
                       (FLEET, "check", "config", "--agent", "prometheus-agent.yml"),
                       (FLEET, "test", "rules", "tarn-vm-perfdata-fleet.rules.test.yml")):
        status, out = run("promtool", *args, cwd=cwd)
        assert status == 0 and "SUCCESS" in out, (args, out)
    work, servers, conf = tempfile.mkdtemp(), [], read(FLEET, "tarn-node-fleet.conf")
    try:
        sample = read(PACKAGING, "tarn-node.conf.sample").replace(  # its buffer file in work
            "\nenabled = false\n", "\nenabled = true\n").replace("/var/db/tarn_vm_perfdata", work)
        for url in re.findall(r"^;?(url = .*\n)", conf, re.M):  # below the sample, each url alone
            with open(os.path.join(work, "t.conf"), "w") as f:
                f.write(sample + re.sub(r"^;?url = .*\n", "", conf, flags=re.M) + url)
            assert run(fx.BINARY, "-t", "-c", f.name) == (0, f"Configuration {f.name} is valid\n")
        shutil.copytree(FLEET, work, dirs_exist_ok=True)  # where the flags name the files
        shutil.copy(os.path.join(EXAMPLES, "tarn-vm-perfdata.rules.yml"), work)
        for name, old, new in (("targets/site1.yml", r"bhyve(\d+)[\w.]+", r"127.1.0.\1"),
                               ("vmagent-scrape.yml", "/etc/vmagent", work)):  # hosts on loopback
            with open(os.path.join(work, name), "w") as f:
                f.write(re.sub(old, new, read(FLEET, name)))
        ports = {port: fx.free_port() for port in ("8428", "8429", "8880")}
        # The three answer with the files' flags; a line posted to vmagent reaches VictoriaMetrics.
        for program, port in (("victoria-metrics", "8428"), ("vmagent", "8429"),
                              ("vmalert", "8880")):
            with open(os.path.join(work, program + ".log"), "w") as log:
                argv = [program, *flags(program + ".default", work, ports)]
                servers.append(subprocess.Popen(argv, stdout=log, stderr=log))
            url = f"127.0.0.1:{ports[port]}"
            assert fx.wait_for(lambda: run("curl", "-s", url + "/health")[1] == "OK", 20), program
        run("curl", "-s", "--data-binary", "m,hostname=h f=1", f"127.0.0.1:{ports['8429']}/write")
        vm = f"127.0.0.1:{ports['8428']}"  # made searchable at once, then read back
        assert fx.wait_for(lambda: run("curl", "-s", vm + "/internal/force_flush") and
                           '"m_f"' in run("curl", "-s", vm + "/api/v1/export?match[]=m_f")[1], 20)
        for log in ("vmagent.log", "vmalert.log"):
            assert "\terror\t" not in read(work, log), read(work, log)
    finally:
        for server in servers:
            server.terminate()
            server.wait(10)
        shutil.rmtree(work)
    # The guide shows every fleet file (but the rules' tests) as it stands.
    shown = dict(re.findall(r"^File `packaging/examples/fleet/(\S+)`:\n\n```\w*\n(.*?)^```$",
                            read(fx.SOURCE_DIR, "docs", "operator-guide.md"), re.M | re.S))
    want = {os.path.relpath(os.path.join(root, name), FLEET) for root, _, names in os.walk(FLEET)
            for name in names if not name.endswith(".test.yml")}
    assert set(shown) == want and all(read(FLEET, n) == shown[n] for n in want), set(shown) ^ want


def test_documents_and_dashboards():
    manual = re.findall(r"^\.It Li (tarn_vm_\w+)$", read(PACKAGING, "tarn-vm-perfdata.8"), re.M)
    guide = re.findall(r"^\| `(tarn_vm_\w+)` \| (gauge|counter) \|",
                       read(fx.SOURCE_DIR, "docs", "operator-guide.md"), re.M)
    every = EXPORTED | HEALTH
    assert set(manual) == every and len(manual) == len(every), set(manual) ^ every
    assert {n: k == "counter" for n, k in guide} == {n: n.endswith("_total") for n in every}
    rules = read(EXAMPLES, "tarn-vm-perfdata.rules.yml") + read(EXAMPLES,
                                                                 "tarn-vm-perfdata.rules.test.yml")
    used = {name for name in re.findall(r"[\w:]+", rules) if re.fullmatch(r"tarn_vm_\w+", name)}
    assert used and used <= every, used - every
    out = tempfile.mkdtemp(prefix="tarn-grafana-")  # the dashboards are generate.py's output
    assert run("/usr/bin/python3", os.path.join(PACKAGING, "grafana", "generate.py"), out)[0] == 0
    for name in os.listdir(out):
        assert read(out, name) == read(PACKAGING, "grafana", name), f"{name}: run generate.py"
    shutil.rmtree(out)


if __name__ == "__main__":
    for tool in "cmake mandoc shellcheck promtool victoria-metrics vmagent vmalert".split():
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is not installed")
            raise SystemExit(77)
    fx.main([test_install_tree_and_rc_script, test_examples,
             test_documents_and_dashboards], root=False)
