"""Syslog as the destination without a terminal, and the kernel settings the daemon reads.

Runs as root inside a private mount namespace: /dev gets an overlay so that a test listener can
stand at /dev/log, and /run a tmpfs for the emulated kernel settings.
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

LOG_ERR_DAEMON = (3 << 3) | 3
LOG_INFO_DAEMON = (3 << 3) | 6
SAMPLE_CONFIG = os.path.join(harness.SOURCE_DIR, "packaging", "tarn-node.conf.sample")


class SyslogListener:
    """Collects the datagrams sent to /dev/log."""

    def __init__(self):
        self.messages = []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if os.path.exists("/dev/log"):
            os.remove("/dev/log")
        self.sock.bind("/dev/log")
        self.sock.settimeout(0.2)
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop:
            try:
                self.messages.append(self.sock.recv(65536).decode(errors="replace"))
            except socket.timeout:
                pass

    def clear(self):
        self.messages.clear()

    def wait_for(self, text, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for m in self.messages:
                if text in m:
                    return m
            time.sleep(0.05)
        return None


def setUpModule():
    global LISTENER, WORK
    WORK = tempfile.mkdtemp()
    upper, work = os.path.join(WORK, "u"), os.path.join(WORK, "w")
    os.makedirs(upper)
    os.makedirs(work)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir=/dev,upperdir={upper},workdir={work}", "/dev"], check=True)
    harness.mount_tmpfs("/run")
    LISTENER = SyslogListener()


class SyslogDestination(unittest.TestCase):
    def setUp(self):
        LISTENER.clear()

    def test_invalid_option_goes_to_syslog_and_help_to_stderr(self):
        proc = harness.run_daemon(["-x"])
        self.assertEqual(proc.returncode, 1)
        msg = LISTENER.wait_for("Invalid command line option")
        self.assertIsNotNone(msg, LISTENER.messages)
        # Priority, ident with the process id, and the message text alone (no pattern).
        self.assertTrue(msg.startswith(f"<{LOG_ERR_DAEMON}>"), msg)
        self.assertRegex(msg, r"tarn-vm-perfdata\[\d+\]: Invalid command line option$")
        self.assertNotIn("[error]", msg)
        self.assertTrue(proc.stderr.decode().endswith("  tarn-vm-perfdata --log-size 50M\n\n"))

    def test_unopenable_log_file_falls_back_to_syslog(self):
        config = harness.write_config("[prometheus]\nenabled = false\n[influx]\nenabled = false\n")
        # Below a file that is not a directory: neither it nor its directory can be made.
        log_file = "/dev/null/sub/tarn.log"
        proc = harness.run_daemon(["-c", config, "--log-file", log_file])
        os.remove(config)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stderr, b"")
        first = LISTENER.wait_for("cannot open log file")
        self.assertIsNotNone(first, LISTENER.messages)
        self.assertTrue(first.startswith(f"<{LOG_ERR_DAEMON}>"), first)
        pid = first.split("tarn-vm-perfdata[", 1)[1].split("]", 1)[0]
        self.assertIn(f"tarn-vm-perfdata[{pid}]: cannot open log file {log_file}: ", first)
        later = LISTENER.wait_for("nothing to do")
        self.assertIsNotNone(later, LISTENER.messages)
        # The fallback logger keeps the ident and the process id of the early one.
        self.assertIn(f"tarn-vm-perfdata[{pid}]: Both transports disabled", later)
        self.assertLess(LISTENER.messages.index(first), LISTENER.messages.index(later))

    def test_dump_mode_logs_to_stderr_even_without_a_terminal(self):
        proc = harness.run_daemon(["-p", "-c", "/nonexistent.conf"])
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b"[error] Cannot parse config /nonexistent.conf (error=-1)", proc.stderr)
        time.sleep(0.3)
        self.assertFalse([m for m in LISTENER.messages if "Cannot parse" in m])


def dump_values(config=SAMPLE_CONFIG):
    proc = harness.run_daemon(["-p", "-c", config])
    values = {}
    for line in proc.stdout.decode().splitlines():
        if not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name.split("{")[0]] = value
    return proc, values


class KernelSettings(unittest.TestCase):
    NAMES = ["kern.hz", "machdep.tsc_freq", "hw.vmm.vcpu_limit.class.1.delay_ms",
             "hw.vmm.vcpu_limit.class.1.rate_limit", "hw.vmm.vcpu_limit.class.1.burst_secs"]

    def tearDown(self):
        for name in self.NAMES:
            harness.set_sysctl(name, None)

    def test_host_sample_carries_the_settings_converted(self):
        harness.set_sysctl("machdep.tsc_freq", 2100000000)
        harness.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", 250)
        harness.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 40)
        harness.set_sysctl("hw.vmm.vcpu_limit.class.1.burst_secs", 3)
        proc, values = dump_values()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(values, {
            "tarn_vm_host_cpu_limit_delay_seconds": "0.25",
            "tarn_vm_host_cpu_limit_rate_limit": "40",
            "tarn_vm_host_cpu_limit_burst_seconds": "3",
            "tarn_vm_host_cpu_limit_hz": "2100000000",
        })

    def test_missing_or_malformed_limit_settings_give_zero(self):
        harness.set_sysctl("machdep.tsc_freq", 1000)
        harness.set_sysctl("hw.vmm.vcpu_limit.class.1.delay_ms", "abc")
        harness.set_sysctl("hw.vmm.vcpu_limit.class.1.rate_limit", 2**31)  # does not fit 4 bytes
        proc, values = dump_values()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(values["tarn_vm_host_cpu_limit_delay_seconds"], "0")
        self.assertEqual(values["tarn_vm_host_cpu_limit_rate_limit"], "0")
        self.assertEqual(values["tarn_vm_host_cpu_limit_burst_seconds"], "0")
        self.assertEqual(values["tarn_vm_host_cpu_limit_hz"], "1000")

    def test_unreadable_tsc_frequency_ends_the_start(self):
        for bad in ("garbage", "-1", "18446744073709551616"):
            with self.subTest(value=bad):
                harness.set_sysctl("machdep.tsc_freq", bad)
                proc = harness.run_daemon(["-p", "-c", SAMPLE_CONFIG])
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(proc.stdout, b"")
                self.assertIn(b"[error] Cannot read machdep.tsc_freq\n", proc.stderr)


if __name__ == "__main__":
    harness.require_binary()
    harness.enter_private_mount_namespace()
    unittest.main()
