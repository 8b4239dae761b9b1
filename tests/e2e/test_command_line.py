"""The daemon's command line, exit statuses and where its first messages go."""
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

HELP = (
    "tarn-vm-perfdata {OPTIONS}\n"
    "\n"
    "Tarn bhyve VM performance metrics collector\n"
    "\n"
    "USAGE:\n"
    "  tarn-vm-perfdata {OPTIONS}\n"
    "\n"
    "OPTIONS:\n"
    "  -c, --config PATH              Path to the INI config (default /usr/local/etc/tarn-node.conf)\n"
    "  -p, --dump-prometheus-metrics  Render one Prometheus scrape to stdout and exit\n"
    "  -i, --dump-influx-metrics      Periodically log InfluxDB line-protocol metrics\n"
    "      --log-file PATH            Daemon log file (default /var/log/tarn_vm_perfdata.log)\n"
    "      --log-size SIZE            Rotate the log at SIZE, K/M/G suffix (default 10M, min 4096)\n"
    "  -v, --version                  Show version\n"
    "  -h, --help                     Show this help menu\n"
    "\n"
    "EXAMPLES:\n"
    "  tarn-vm-perfdata -c /usr/local/etc/tarn-node.conf\n"
    "  tarn-vm-perfdata --dump-prometheus-metrics | promtool check metrics\n"
    "  tarn-vm-perfdata --dump-influx-metrics\n"
    "  tarn-vm-perfdata --log-size 50M\n"
    "\n")
VERSION = "tarn-vm-perfdata version: 10863192\n"
SAMPLE_CONFIG = os.path.join(harness.SOURCE_DIR, "packaging", "tarn-node.conf.sample")
LOG_LINE = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[{level}\] {text}\n"


def log_line(level, text):
    return re.compile(LOG_LINE.replace("{level}", level).replace("{text}", re.escape(text)))


class HelpAndVersion(unittest.TestCase):
    def test_texts_on_stdout_with_status_zero(self):
        for args, expected in [(["-v"], VERSION), (["--version"], VERSION), (["-h"], HELP),
                               (["--help"], HELP), (["-v", "-x"], VERSION),
                               (["-h", "--log-size", "1"], HELP), (["-v", "-c", "/nonexistent"], VERSION)]:
            with self.subTest(args=args):
                proc = harness.run_daemon(args)
                self.assertEqual(proc.returncode, 0)
                self.assertEqual(proc.stdout.decode(), expected)
                self.assertEqual(proc.stderr, b"")


class CommandLineErrorsOnATerminal(unittest.TestCase):
    def test_invalid_option_logs_then_prints_help_to_stderr(self):
        for args in (["-x", "-v"], ["--no-such-option"], ["-c"]):
            with self.subTest(args=args):
                status, out, err = harness.run_with_terminal_stderr(args)
                self.assertEqual(status, 1)
                self.assertEqual(out, b"")
                match = log_line("error", "Invalid command line option").search(err)
                self.assertIsNotNone(match, err)
                # The C library's complaint comes first, the help text last.
                self.assertGreater(match.start(), 0)
                self.assertTrue(err.endswith(HELP), err)

    def test_log_size_below_the_minimum_is_rejected_as_typed(self):
        for typed in ("4095", "3K", "0", "10MB", "1.5M", "-1"):
            with self.subTest(typed=typed):
                status, out, err = harness.run_with_terminal_stderr(["--log-size", typed, "-v"])
                self.assertEqual(status, 1)
                self.assertEqual(out, b"")
                expected = f"Invalid --log-size value: {typed}; minimum is 4096 bytes"
                self.assertRegex(err, log_line("error", expected))

    def test_log_size_forms_that_are_accepted(self):
        for args in (["--log-size", "4096"], ["--log-size=4K"], ["--log-size=50M"]):
            with self.subTest(args=args):
                proc = harness.run_daemon(args + ["-p", "-c", SAMPLE_CONFIG])
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertTrue(proc.stdout.startswith(b"# HELP "))


class ConfigurationAtStartup(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def config(self, text):
        return harness.write_config(text, self.dir.name)

    def test_missing_config_fails_in_dump_mode_too(self):
        proc = harness.run_daemon(["-p", "-c", "/nonexistent/tarn.conf"])
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stdout, b"")
        self.assertRegex(proc.stderr.decode(),
                         log_line("error", "Cannot parse config /nonexistent/tarn.conf (error=-1)"))

    def test_malformed_line_is_named(self):
        path = self.config("[prometheus]\nenabled = true\n\nnot a key value line\n")
        proc = harness.run_daemon(["-p", "-c", path])
        self.assertEqual(proc.returncode, 1)
        self.assertRegex(proc.stderr.decode(), log_line("error", f"Cannot parse config {path} (error=4)"))

    def test_both_transports_off_has_nothing_to_do(self):
        path = self.config("[prometheus]\nenabled = false\n[influx]\nenabled = no\n")
        status, out, err = harness.run_with_terminal_stderr(["-c", path])
        self.assertEqual(status, 1)
        self.assertEqual(out, b"")
        self.assertRegex(err, log_line(
            "error", "Both transports disabled (prometheus.enabled=false, influx.enabled=false) "
                     "and --dump-influx-metrics not set; nothing to do"))
        self.assertNotIn("Started", err)

    def test_without_a_terminal_later_messages_go_to_the_log_file(self):
        path = self.config("[prometheus]\nenabled = false\n[influx]\nenabled = no\n")
        log_file = os.path.join(self.dir.name, "daemon.log")
        proc = harness.run_daemon(["-c", path, "--log-file", log_file])
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr, b"")
        with open(log_file) as f:
            self.assertRegex(f.read(), log_line("error", "Both transports disabled "
                                                "(prometheus.enabled=false, influx.enabled=false) "
                                                "and --dump-influx-metrics not set; nothing to do"))

    def test_on_a_terminal_the_log_file_is_never_created(self):
        path = self.config("[prometheus]\nenabled = false\n[influx]\nenabled = no\n")
        log_file = os.path.join(self.dir.name, "never.log")
        status, _, err = harness.run_with_terminal_stderr(["-c", path, "--log-file", log_file])
        self.assertEqual(status, 1)
        self.assertIn("nothing to do", err)
        self.assertFalse(os.path.exists(log_file))

    def test_interval_clamp_warns_with_the_value_read(self):
        for value in ("0", "-5"):
            with self.subTest(value=value):
                path = self.config(f"[influx]\ninterval = {value}\n")
                proc = harness.run_daemon(["-p", "-c", path])
                self.assertEqual(proc.returncode, 0)
                self.assertRegex(proc.stderr.decode(), log_line(
                    "warning", f"interval={value} is invalid (must be >= 1s); clamping to 1"))
        proc = harness.run_daemon(["-p", "-c", self.config("[influx]\ninterval = 1\n")])
        self.assertEqual(proc.stderr, b"")


class OneShotDump(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def test_dump_is_a_valid_scrape_alone_on_stdout(self):
        config = harness.write_config("[prometheus]\nenabled = false\n", self.dir.name)
        proc = harness.run_daemon(["--dump-prometheus-metrics", "-c", config, "-i"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(proc.stderr, b"")
        text = proc.stdout.decode()
        ok, output = harness.promtool_check(proc.stdout)
        self.assertTrue(ok, output)
        hostname = os.uname().nodename
        for line in text.splitlines():
            if not line.startswith("#"):
                self.assertRegex(line, r'^tarn_vm_host_cpu_limit_\w+\{hostname="' + re.escape(hostname)
                                 + r'",limit_class="1"\} \S+$')
        self.assertIn("# TYPE tarn_vm_host_cpu_limit_hz gauge\n", text)
        self.assertNotIn("Started", text)

    def test_custom_prefix_changes_every_name(self):
        config = harness.write_config("[prometheus]\nmetrics_prefix = node7\n", self.dir.name)
        proc = harness.run_daemon(["-p", "-c", config])
        self.assertEqual(proc.returncode, 0)
        lines = proc.stdout.decode().splitlines()
        self.assertTrue(lines)
        for line in lines:
            name = line.split()[2] if line.startswith("#") else line.split("{")[0]
            self.assertTrue(name.startswith("node7_host_cpu_limit_"), line)
        ok, output = harness.promtool_check(proc.stdout)
        self.assertTrue(ok, output)


if __name__ == "__main__":
    harness.require_binary()
    harness.isolate_process_table()
    unittest.main()
