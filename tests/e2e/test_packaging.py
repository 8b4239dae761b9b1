"""What an operator installs: the cmake install tree, the manual page, the rc.d script, the FreeBSD
port skeleton and the Prometheus examples, each checked with the real tool (mandoc, shellcheck,
promtool).

Needs cmake, mandoc, shellcheck and promtool (skipped with 77 when one is missing). The check of the
documented metric families against a real scrape runs the daemon on a simulated host and so needs
root; without root only that case is skipped.
"""
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "sim"))
import harness  # noqa: E402

SOURCE = harness.SOURCE_DIR
PACKAGING = os.path.join(SOURCE, "packaging")
MAN_SOURCE = os.path.join(PACKAGING, "tarn-vm-perfdata.8")
SAMPLE_CONFIG = os.path.join(PACKAGING, "tarn-node.conf.sample")
RC_SCRIPT = os.path.join(PACKAGING, "freebsd", "rc.d", "tarn_vm_perfdata")
PORT = os.path.join(PACKAGING, "freebsd", "port")
EXAMPLES = os.path.join(PACKAGING, "examples")
GUIDE = os.path.join(SOURCE, "docs", "operator-guide.md")

# Every configuration key with its default, as the daemon documents them.
CONFIG_DEFAULTS = {
    ("prometheus", "enabled"): "true",
    ("prometheus", "listen"): "127.0.0.1:9273",
    ("prometheus", "metrics_prefix"): "tarn_vm",
    ("influx", "enabled"): "true",
    ("influx", "user"): "",
    ("influx", "password"): "",
    ("influx", "url"): "",
    ("influx", "database"): "",
    ("influx", "interval"): "10",
}

# Installed path (relative to the prefix) -> permission bits.
INSTALLED_FILES = {
    "sbin/tarn-vm-perfdata": 0o755,
    "etc/tarn-node.conf.sample": 0o600,
    "share/man/man8/tarn-vm-perfdata.8": 0o644,
}

# mandoc complains about references to FreeBSD manuals that a Debian host does not have, and about
# the state of the host's own manual database; neither says anything about the page.
HOST_DEPENDENT_LINT = re.compile(r"referenced manual not found|mandoc\.db")


def run(args, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30,
                          **kwargs)


def rendered_man(path):
    """The page as text, overstrike (bold, underline) removed."""
    proc = run(["mandoc", "-T", "ascii", path])
    assert proc.returncode == 0, proc.stdout
    return re.sub(r".\x08", "", proc.stdout.decode())


def man_section(source, title):
    """The mdoc source lines of one .Sh section."""
    lines = source.splitlines()
    start = lines.index(f".Sh {title}")
    end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith(".Sh ")), len(lines))
    return lines[start + 1:end]


def help_options(help_text):
    """(short or None, long, argument name or None) for each option line of the help text."""
    options = []
    in_options = False
    for line in help_text.splitlines():
        if line == "OPTIONS:":
            in_options = True
            continue
        if in_options:
            if not line.strip():
                break
            m = re.match(r"^  (?:-(\w), |    )--([\w-]+)(?: ([A-Z]+))?  ", line)
            assert m, f"unexpected help line {line!r}"
            options.append((m.group(1), m.group(2), m.group(3)))
    return options


def sample_config_keys(text):
    """(section, key) -> the default named in the comments above the key.

    A key without comments of its own shares the default of the key before it (user and password,
    url and database are described together)."""
    keys = {}
    section = None
    comment = []
    default = None
    for line in text.splitlines():
        m = re.match(r"^\[(\w+)\]$", line)
        if m:
            section, comment, default = m.group(1), [], None
            continue
        m = re.match(r"^;\s*(\w+)\s*=", line)
        if m and section:
            if comment:
                d = re.search(r"\(default ([^);]*)", " ".join(comment))
                default = d.group(1).strip() if d else None
            keys[(section, m.group(1))] = default
            comment = []
        elif line.startswith(";"):
            comment.append(line)
    return keys


def man_config_defaults(source):
    """(section, key) -> default text from the CONFIGURATION section ("" for empty)."""
    result = {}
    section = None
    key = None
    body = []

    def close():
        if section and key:
            text = " ".join(body)
            m = re.search(r"Default:\s*(?:\.Sy (\S+) \.|empty\.)", text)
            result[(section, key)] = (m.group(1) or "") if m else None

    for line in man_section(source, "CONFIGURATION"):
        m = re.match(r"^\.Ss Section \[(\w+)\]", line)
        if m:
            close()
            section, key, body = m.group(1), None, []
            continue
        m = re.match(r"^\.It Cm (\w+)$", line)
        if m:
            close()
            key, body = m.group(1), []
            continue
        if line.startswith(".El"):
            close()
            key, body = None, []
            continue
        body.append(line)
    close()
    return result


def documented_families(source):
    """Metric names listed in the METRICS section, in order."""
    return [m.group(1) for line in man_section(source, "METRICS")
            for m in [re.match(r"^\.It Li (\w+)$", line)] if m]


def guide_families(text):
    """Metric name -> type from the table of the operator guide."""
    families = {}
    for line in text.splitlines():
        m = re.match(r"^\| `(tarn_vm_\w+)` \| (gauge|counter) \|", line)
        if m:
            families[m.group(1)] = m.group(2)
    return families


def scrape_families(text):
    """Metric name -> (type, label names) of a scrape."""
    types = dict(re.findall(r"^# TYPE (\S+) (\S+)$", text, re.M))
    labels = {}
    for name, label_text in re.findall(r"^(\w+)\{([^}]*)\} ", text, re.M):
        labels.setdefault(name, tuple(re.findall(r'(\w+)="', label_text)))
    return {name: (kind, labels.get(name, ())) for name, kind in types.items()}


def simulated_host_scrape():
    """The daemon's one-shot scrape of a simulated host with one VM that has every device kind."""
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--dump-simulated-host"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=40)
    if proc.returncode != 0:
        raise AssertionError(f"simulated dump failed ({proc.returncode}): {proc.stderr.decode()}")
    return proc.stdout.decode()


def dump_simulated_host():
    import simhost
    simhost.enter_private_namespaces()
    with tempfile.TemporaryDirectory() as work:
        config = os.path.join(work, "tarn-node.conf")
        with open(config, "w") as f:
            f.write("[influx]\nenabled = false\n")
        with simhost.SimulatedHost({"kern.hz": 1000,
                                    "hw.vmm.vcpu_limit.class.1.delay_ms": 250,
                                    "hw.vmm.vcpu_limit.class.1.rate_limit": 40,
                                    "hw.vmm.vcpu_limit.class.1.burst_secs": 3}) as host:
            host.add_vm(3)  # one block, one network and one balloon device
            proc = subprocess.run([harness.BINARY, "--dump-prometheus-metrics", "-c", config],
                                  stdout=subprocess.PIPE, timeout=20)
    sys.stdout.write(proc.stdout.decode())
    return proc.returncode


class InstallTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="tarn-install-")
        proc = run(["cmake", "--install", harness.BUILD_DIR, "--prefix", cls.prefix])
        if proc.returncode != 0:
            shutil.rmtree(cls.prefix)
            raise AssertionError(f"cmake --install failed: {proc.stdout.decode()}")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix)

    def installed(self):
        found = {}
        for root, _, files in os.walk(self.prefix):
            for name in files:
                path = os.path.join(root, name)
                found[os.path.relpath(path, self.prefix)] = stat.S_IMODE(os.lstat(path).st_mode)
        return found

    def test_files_and_modes(self):
        self.assertEqual({k: oct(v) for k, v in self.installed().items()},
                         {k: oct(v) for k, v in INSTALLED_FILES.items()})

    def test_installed_copies_are_the_sources(self):
        for installed, source in [("etc/tarn-node.conf.sample", SAMPLE_CONFIG),
                                  ("share/man/man8/tarn-vm-perfdata.8", MAN_SOURCE)]:
            with self.subTest(installed):
                with open(os.path.join(self.prefix, installed), "rb") as a, open(source, "rb") as b:
                    self.assertEqual(a.read(), b.read())

    def test_installed_daemon_runs(self):
        proc = run([os.path.join(self.prefix, "sbin/tarn-vm-perfdata"), "--version"])
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(proc.stdout.decode(), r"^tarn-vm-perfdata version: \d+\n$")

    def test_manual_page_lint_clean(self):
        page = os.path.join(self.prefix, "share/man/man8/tarn-vm-perfdata.8")
        proc = run(["mandoc", "-T", "lint", "-W", "warning", page])
        self.assertEqual((proc.returncode, proc.stdout.decode()), (0, ""))
        proc = run(["mandoc", "-T", "lint", "-W", "style", page])
        complaints = [line for line in proc.stdout.decode().splitlines()
                      if not HOST_DEPENDENT_LINT.search(line)]
        self.assertEqual(complaints, [])

    def test_port_plist_matches_install(self):
        """The port's plist: the install tree in FreeBSD's layout, plus the rc.d script."""
        expected = set()
        for path in self.installed():
            path = re.sub(r"^share/man/", "man/", path)
            expected.add(path + ".gz" if path.startswith("man/") else path)
        expected.add("etc/rc.d/tarn_vm_perfdata")
        with open(os.path.join(PORT, "pkg-plist")) as f:
            entries = [line.strip() for line in f if line.strip()]
        listed = {re.sub(r"^@sample\([^)]*\) ", "", e) for e in entries}
        self.assertEqual(listed, expected)
        self.assertIn("@sample(root,wheel,0600) etc/tarn-node.conf.sample", entries)


class ManualPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(MAN_SOURCE) as f:
            cls.source = f.read()
        cls.text = rendered_man(MAN_SOURCE)
        proc = harness.run_daemon(["--help"])
        assert proc.returncode == 0
        cls.help = proc.stdout.decode()

    def test_every_help_option_is_documented(self):
        options = help_options(self.help)
        self.assertEqual(len(options), 7)
        items = [line for line in man_section(self.source, "DESCRIPTION")
                 if line.startswith(".It Fl")]
        documented = []
        for item in items:
            m = re.match(r"^\.It (?:Fl (\w) (?:Ar (\w+) )?, )?Fl -([\w-]+)(?: Ns = Ns Ar (\w+))?$",
                         item)
            self.assertTrue(m, item)
            documented.append((m.group(1), m.group(3), (m.group(2) or m.group(4) or "").upper()
                               or None))
        self.assertEqual(documented, options)

    def test_synopsis_names_every_option(self):
        synopsis = self.text.split("SYNOPSIS\n", 1)[1].split("DESCRIPTION\n", 1)[0]
        for short, long, _ in help_options(self.help):
            with self.subTest(long):
                if short:
                    self.assertRegex(synopsis, rf"(?<![\w-])-[a-z]*{short}[a-z]*\b")
                else:
                    self.assertRegex(synopsis, rf"(?<![\w-])--{long}\b")

    def test_every_config_key_with_its_default(self):
        with open(SAMPLE_CONFIG) as f:
            sample = sample_config_keys(f.read())
        self.assertEqual(set(sample), set(CONFIG_DEFAULTS))
        for key, default in CONFIG_DEFAULTS.items():
            with self.subTest(key=key):
                self.assertEqual(sample[key], default or "empty")
        self.assertEqual(man_config_defaults(self.source), CONFIG_DEFAULTS)

    def test_sections(self):
        for title in ["NAME", "SYNOPSIS", "DESCRIPTION", "CONFIGURATION", "METRICS", "LOGGING",
                      "SIGNALS", "FILES", "EXIT STATUS", "EXAMPLES", "SEE ALSO"]:
            with self.subTest(title):
                self.assertIn(f".Sh {title}\n", self.source)

    def test_signals_log_destinations_and_statuses(self):
        for words in ["SIGINT", "SIGTERM", "SIGHUP", "/var/log/tarn_vm_perfdata.log",
                      "LOG_DAEMON", "syslog(3)", "standard error"]:
            with self.subTest(words):
                self.assertIn(words, self.text)
        statuses = re.findall(r"^\.It (\d+)$", "\n".join(man_section(self.source, "EXIT STATUS")),
                              re.M)
        self.assertEqual(statuses, ["0", "1"])

    def test_help_examples_appear(self):
        examples = self.help.split("EXAMPLES:\n")[1].strip().splitlines()
        self.assertEqual(len(examples), 4)
        for example in examples:
            with self.subTest(example):
                self.assertIn("# " + " ".join(example.split()), " ".join(self.text.split()))


class RcScript(unittest.TestCase):
    """The rc.d script under a minimal stand-in for rc.subr.

    The stand-in does what rc.subr does with these variables: ${name}_flags becomes rc_flags, the
    start_precmd runs, and start runs "$command $rc_flags $command_args".
    """
    RC_SUBR = r"""
load_rc_config() { :; }
run_rc_command() {
    eval "rc_flags=\${${name}_flags}"
    if [ -n "$start_precmd" ]; then $start_precmd || return 1; fi
    eval "enable=\${${rcvar}}"
    echo "rcvar=$rcvar"
    echo "enable=$enable"
    echo "pidfile=$pidfile"
    echo "procname=$procname"
    echo "required_files=$required_files"
    echo "start=$command $rc_flags $command_args"
}
"""

    def run_script(self, env):
        with tempfile.TemporaryDirectory() as work:
            stub = os.path.join(work, "rc.subr")
            with open(stub, "w") as f:
                f.write(self.RC_SUBR)
            with open(RC_SCRIPT) as f:
                script = f.read()
            self.assertIn("\n. /etc/rc.subr\n", script)
            copy = os.path.join(work, "tarn_vm_perfdata")
            with open(copy, "w") as f:
                f.write(script.replace("\n. /etc/rc.subr\n", f"\n. {stub}\n"))
            proc = subprocess.run(["sh", copy, "start"], env=dict(env, PATH="/usr/bin:/bin"),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=10)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return dict(re.sub(r"\s+", " ", line).strip().split("=", 1)
                    for line in proc.stdout.decode().splitlines())

    def test_shellcheck(self):
        proc = run(["shellcheck", "--shell=sh", "--severity=style", RC_SCRIPT])
        self.assertEqual((proc.returncode, proc.stdout.decode()), (0, ""))

    def test_executable(self):
        self.assertTrue(os.stat(RC_SCRIPT).st_mode & stat.S_IXUSR)

    def test_knobs(self):
        daemon = "/usr/sbin/daemon -f -p /var/run/tarn_vm_perfdata.pid /usr/local/sbin/tarn-vm-perfdata"
        cases = [
            ({}, "NO", "/usr/local/etc/tarn-node.conf", []),
            ({"tarn_vm_perfdata_enable": "YES"}, "YES", "/usr/local/etc/tarn-node.conf", []),
            ({"tarn_vm_perfdata_enable": "YES", "tarn_vm_perfdata_config": "/etc/t.conf",
              "tarn_vm_perfdata_flags": "--log-size 50M --log-file /var/log/t.log"},
             "YES", "/etc/t.conf", ["--log-size", "50M", "--log-file", "/var/log/t.log"]),
        ]
        for env, enable, config, flags in cases:
            with self.subTest(env=env):
                got = self.run_script(env)
                self.assertEqual(got["rcvar"], "tarn_vm_perfdata_enable")
                self.assertEqual(got["enable"], enable)
                self.assertEqual(got["pidfile"], "/var/run/tarn_vm_perfdata.pid")
                self.assertEqual(got["procname"], "/usr/local/sbin/tarn-vm-perfdata")
                self.assertEqual(got["required_files"], config)
                self.assertEqual(got["start"], " ".join([daemon, "-c", config] + flags))
                # What daemon(8) hands the program must be a valid command line of it.
                args = got["start"].split(" /usr/local/sbin/tarn-vm-perfdata ", 1)[1].split()
                proc = harness.run_daemon(args + ["--version"])
                self.assertEqual(proc.returncode, 0, proc.stderr)


class Port(unittest.TestCase):
    def test_dependencies_by_origin(self):
        with open(os.path.join(PORT, "Makefile")) as f:
            makefile = f.read().replace("\\\n", " ")
        variables = dict(re.findall(r"^(\w+)=\s*(.*)$", makefile, re.M))
        origins = {kind: set(re.findall(r":(\w+/[\w-]+)", variables.get(kind, "")))
                   for kind in ["BUILD_DEPENDS", "LIB_DEPENDS", "TEST_DEPENDS"]}
        self.assertEqual(origins, {
            "BUILD_DEPENDS": {"devel/nlohmann-json"},
            "LIB_DEPENDS": {"ftp/curl", "devel/libfmt", "devel/inih", "devel/spdlog"},
            "TEST_DEPENDS": {"devel/googletest"},
        })
        self.assertRegex(variables["USES"], r"(^|\s)cmake(:\S+)?(\s|$)")
        self.assertIn("TARN_BUILD_TESTS", variables["CMAKE_OFF"])
        self.assertEqual(variables["CMAKE_TESTING_ON"], "TARN_BUILD_TESTS")
        self.assertIn("${CHMOD} 0600 ${STAGEDIR}${PREFIX}/etc/tarn-node.conf.sample", makefile)

    def test_descr(self):
        with open(os.path.join(PORT, "pkg-descr")) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines)
        self.assertTrue(all(len(line) <= 80 for line in lines))


class PrometheusExamples(unittest.TestCase):
    def promtool(self, *args):
        proc = run(["promtool"] + list(args), cwd=EXAMPLES)
        self.assertEqual(proc.returncode, 0, proc.stdout.decode())
        return proc.stdout.decode()

    def test_check_config(self):
        out = self.promtool("check", "config", "prometheus.yml")
        self.assertIn("1 rule files found", out)

    def test_check_rules(self):
        self.promtool("check", "rules", "tarn-vm-perfdata.rules.yml")

    def test_rule_tests(self):
        self.assertIn("SUCCESS", self.promtool("test", "rules", "tarn-vm-perfdata.rules.test.yml"))

    def test_scrape_job_matches_alert(self):
        with open(os.path.join(EXAMPLES, "prometheus.yml")) as f:
            job = re.search(r"job_name: (\S+)", f.read()).group(1)
        with open(os.path.join(EXAMPLES, "tarn-vm-perfdata.rules.yml")) as f:
            self.assertIn(f'up{{job="{job}"}} == 0', f.read())


@unittest.skipUnless(os.geteuid() == 0, "needs root (simulated host in private namespaces)")
class FamiliesAgainstScrape(unittest.TestCase):
    """The families a simulated host really exports, against what the documents say about them."""

    @classmethod
    def setUpClass(cls):
        cls.scrape = scrape_families(simulated_host_scrape())

    def test_scrape_has_every_kind(self):
        self.assertEqual(len(self.scrape), 4 + 9 + 8 + 8 + 11)

    def test_manual_lists_exactly_the_exported_families(self):
        with open(MAN_SOURCE) as f:
            documented = documented_families(f.read())
        self.assertEqual(documented, list(self.scrape))

    def test_guide_table_lists_exactly_the_exported_families_and_types(self):
        with open(GUIDE) as f:
            table = guide_families(f.read())
        self.assertEqual(table, {name: kind for name, (kind, _) in self.scrape.items()})

    def test_rule_test_series_are_shaped_like_the_scrape(self):
        with open(os.path.join(EXAMPLES, "tarn-vm-perfdata.rules.test.yml")) as f:
            series = re.findall(r"series: '(\w+)\{([^}]*)\}'", f.read())
        self.assertTrue(series)
        for name, label_text in series:
            labels = [n for n in re.findall(r'(\w+)="', label_text) if n not in ("job", "instance")]
            with self.subTest(name):
                if name == "up":
                    self.assertEqual(labels, [])
                    continue
                self.assertIn(name, self.scrape)
                self.assertEqual(tuple(labels), self.scrape[name][1])

    def test_rules_use_only_exported_families(self):
        with open(os.path.join(EXAMPLES, "tarn-vm-perfdata.rules.yml")) as f:
            exprs = re.findall(r"^\s+expr: (?:>\n)?((?:.*\n)*?)(?=\s+\w+:)", f.read(), re.M)
        used = {token for expr in exprs for token in re.findall(r"[\w:]+", expr)
                if token.startswith("tarn_vm_")}
        self.assertEqual(len(used), 7)
        self.assertLessEqual(used, set(self.scrape))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--dump-simulated-host":
        sys.exit(dump_simulated_host())
    harness.require_binary()
    if not harness.BUILD_DIR or not os.path.isdir(harness.BUILD_DIR):
        harness.skip("TARN_BUILD_DIR does not name the build directory (run through ctest)")
    for tool in ["cmake", "mandoc", "shellcheck", "promtool"]:
        if shutil.which(tool) is None:
            harness.skip(f"{tool} is not installed")
    unittest.main()


if __name__ == "__main__":
    main()
