#!/usr/bin/python3
"""Plants single-line faults in the product, one at a time, and records which the suite catches.

Usage: sudo /usr/bin/python3 scripts/mutants.py [--build DIR] [--only ID[,ID...]] [--out FILE]
                                                 [--hint TABLE]

Each fault replaces one exact text (it must occur exactly once in its file) with another. For each:
the file is changed, the plain build in DIR (default build/mutants, benchmarks off) is rebuilt, the
unit tests run and, if none fails, the end-to-end tests; the fault is caught when any test fails.
A fault that does not compile is reported as such and does not count. The file is restored after
every fault, also when the script is interrupted. Prints a Markdown table; --out writes it too.
--hint takes such a table from an earlier run: each fault's earlier catcher runs first, alone, and
only when it passes does the whole sweep follow, so a run of unchanged tests takes minutes, not
hours, and still gives every fault the whole suite's chance. scripts/mutants-last-run.md is the
last full run's table.
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (id, file, original text, planted text, what the fault is)
FAULTS = [
    ("C1", "collectors/cpu_memory_parsers.cpp", "if (product == 0 || product >", "if (product >",
     "dropped check: a zero vCPU factor is accepted"),
    ("C2", "collectors/cpu_memory_parsers.cpp", "kWord.size() + 2);", "kWord.size() + 3);",
     "off by one: vcpu_class takes three digits"),
    ("C3", "collectors/cpu_memory_parsers.cpp", ': name == "vmemoryuse" ? use.vmemoryuse',
     ': name == "vmemoryuse" ? use.memoryuse', "wrong target: vmemoryuse lands in memoryuse"),
    ("C4", "collectors/cpu_memory_parsers.cpp", "if (seconds >= kLimit)", "if (seconds > kLimit)",
     "off by one: 2^64 seconds is cast instead of saturated"),
    ("C5", "collectors/device_records.cpp", '{"virtio-blk", "nvme"}', '{"virtio-blk", ""}',
     "dropped case: nvme block devices are not read"),
    ("C6", "collectors/device_stats.cpp", '"virtio_net", 4,', '"virtio_net", 3,',
     "wrong constant: network slot offset"),
    ("C7", "collectors/device_stats.cpp", '{"tx_limit_mbps", G},\n                                               {"rx_limit_mbps", G},',
     '{"rx_limit_mbps", G},\n                                               {"tx_limit_mbps", G},',
     "wrong order: tx and rx limits swapped"),
    ("C8", "collectors/vm_number.cpp", "if (digits == kTitle.size() || digits == text.size() ||",
     "if (digits == text.size() ||", "dropped check: a title without white space after 'bhyve:'"),
    ("C9", "collectors/vm_discovery.cpp", "if (!vm_id || !seen.insert(*vm_id).second)",
     "if (!vm_id)", "dropped check: two processes of one VM give two entries"),
    ("C10", "collectors/host_cpu_limit.cpp", '.add_gauge("hz", tsc_freq)',
     '.add_gauge("hz", tsc_freq / 1000)',
     "wrong unit: hz carries the TSC rate in kHz"),
    ("C11", "collectors/text_scan.h", "c == '\\f' || c == '\\r';", "c == '\\f';",
     "dropped case: CR is not white space"),
    ("M1", "metrics/metric_sample.cpp", '"{:.{}f}", value, precision', '"{:.{}g}", value, precision',
     "wrong format: fixed-point counters printed in general notation"),
    ("M2", "metrics/metric_sample.cpp",
     "MetricSample& MetricSample::add_gauge(std::string name, std::uint64_t value) {\n    fields.push_back({std::move(name), fmt::format(\"{}\", value), MetricKind::gauge});",
     "MetricSample& MetricSample::add_gauge(std::string name, std::uint64_t value) {\n    fields.push_back({std::move(name), fmt::format(\"{}\", value), MetricKind::counter});",
     "wrong kind: 64-bit gauges become counters"),
    ("E1", "exporters/influx/influx_line.cpp", '"{}{:06d}000"', '"{}{:6d}000"',
     "missed padding: microseconds padded with spaces"),
    ("E2", "exporters/influx/influx_line.cpp", 'first ? "" : ","', 'first ? "," : ""',
     "swapped branch: field separators"),
    ("E3", "exporters/web/http_server.cpp", "parsed.path = target.substr(0, target.find('?'));",
     "parsed.path = target;", "dropped step: the query string is kept in the path"),
    ("E4", "exporters/influx/influx_endpoint.cpp", "byte == '_' || byte == '~';",
     "byte == '_' || byte == '~' || byte == '@';", "missed escape: '@' in a credential"),
    ("D1", "daemon/config.cpp", "if (config.interval_seconds <= 0) {",
     "if (config.interval_seconds < 0) {", "off by one: interval 0 is kept"),
    ("D2", "daemon/config.cpp", '{"prometheus", "listen", &DaemonConfig::listen_address},',
     '{"prometheus", "address", &DaemonConfig::listen_address},', "wrong key: listen address"),
    ("D3", "daemon/command_line.cpp", "multiplier = 1048576ULL;", "multiplier = 1000000ULL;",
     "wrong constant: M suffix"),
    ("D4", "daemon/command_line.cpp", "if (size >= kMinimumLogSize)",
     "if (size > kMinimumLogSize)", "off by one: the minimum log size is refused"),
    ("D5", "daemon/logging.cpp", "logger->flush_on(spdlog::level::info);",
     "logger->flush_on(spdlog::level::err);", "wrong level: info lines are not flushed"),
    ("D6", "daemon/stop_signal.cpp", "    ::sigaction(SIGTERM, &action, nullptr);\n", "",
     "dropped step: SIGTERM is not handled"),
    ("P1", "platform/sysctl_linux.cpp", 'const bool is_unsigned = key == "machdep.tsc_freq";',
     "const bool is_unsigned = false;", "wrong type: the TSC rate is read as signed"),
    ("P2", "platform/process_table_linux.cpp", "arguments.emplace_back(*content, start, end - start);",
     "arguments.emplace_back(*content, start, end - start + 1);",
     "off by one: each argument keeps its terminating NUL"),
    ("P3", "platform/process_table_linux.cpp",
     "if (!comm->empty() && comm->back() == '\\n')", "if (false)",
     "dropped step: the command name keeps its line feed"),
    ("P4", "platform/socket_options_linux.cpp", "return MSG_NOSIGNAL;", "return 0;",
     "dropped flag: a vanished scraper raises SIGPIPE"),
    ("C12", "collectors/command_runner.cpp", "    ::kill(-pid, SIGKILL);\n", "    ::kill(pid, SIGKILL);\n",
     "wrong target: a time-out kills the tool but not what it started"),
    ("C13", "collectors/command_runner.cpp",
     "if (!finished->executed || !WIFEXITED(finished->status) || WEXITSTATUS(finished->status) != 0)",
     "if (!finished->executed || !WIFEXITED(finished->status))",
     "dropped check: a failing rctl still counts"),
    ("C14", "collectors/vm_cpu_memory.cpp", "slots[i] = collect_one(vms[i],",
     "slots[vms.size() - 1 - i] = collect_one(vms[i],", "wrong order: samples not in VM-list order"),
    ("C15", "collectors/shared_memory.cpp", "if (size > kSharedMemoryCopyLimit) {",
     "if (size > kSharedMemoryCopyLimit * 1024 * 1024) {",
     "wrong constant: the shared-memory copy limit is a million times larger"),
    ("M3", "metrics/metric_store.cpp", "        ++generation_;\n", "",
     "dropped step: a replaced set keeps its generation"),
    ("E5", "exporters/prometheus_text.cpp", "out += c == '\\n' ? 'n' : c;", "out += c;",
     "missed escape: a line feed in a label value"),
    ("E6", "exporters/prometheus_text.cpp", 'constexpr std::string_view suffix = "_total";',
     'constexpr std::string_view suffix = "_totals";',
     "wrong constant: counters ending in _total get it twice"),
    ("E7", "exporters/web/http_server.cpp", "if (connection.deadline() <= now)",
     "if (connection.deadline() + std::chrono::seconds(60) <= now)",
     "wrong constant: a connection's deadline is a minute later"),
    ("E8", "exporters/web/http_server.cpp",
     "if (open_.size() >= kMaxConnections && (!connection_pending() || !make_room()))",
     "if (false && (!connection_pending() || !make_room()))",
     "dropped check: open connections are not capped"),
    ("E9", "exporters/web/http_server.cpp", 'if (line.path != "/metrics")',
     'if (line.path.substr(0, 8) != "/metrics")', "wrong comparison: paths are matched by prefix"),
    ("E10", "exporters/web/http_server.cpp", 'if (line.method != "GET")',
     'if (line.method != "GET" && line.method != "get")',
     "wrong comparison: the method is matched without case"),
    ("E11", "exporters/web/http_connection.cpp", "    start_lingering();\n", "    close_socket(false);\n",
     "dropped step: a connection is closed over unread request bytes"),
    ("E12", "exporters/web/http_connection.cpp", "    close_socket(reset);\n",
     "    close_socket(reset && false);\n",
     "dropped step: an undelivered answer is left to the kernel"),
    ("E13", "exporters/web/http_server.cpp", "if (out_of_descriptors(errno))",
     "if (out_of_descriptors(errno) && false)",
     "dropped step: accept is retried at once when out of descriptors"),
    ("E14", "exporters/web/http_server.cpp", "kStopGrace = std::chrono::seconds(1);",
     "kStopGrace = std::chrono::seconds(0);", "wrong constant: answers under way are cut on stop"),
    ("I1", "exporters/influx/influx_answer.cpp", "if (status == 400 || status == 422)",
     "if (status == 400)", "dropped case: 422 is not taken for the data's fault"),
    ("I2", "exporters/influx/influx_answer.cpp",
     "std::min<unsigned long long>(dropped, lines)", "std::max<unsigned long long>(dropped, lines)",
     "wrong bound: a partial write refuses the whole batch"),
    ("I3", "exporters/influx/influx_answer.cpp", "return {AnswerKind::wait};",
     "return {AnswerKind::refused, lines};", "wrong class: 401, 404 and 5xx refuse the lines"),
    ("I4", "exporters/influx/influx_batcher.cpp", "count /= 2;", "count -= 1;",
     "wrong step: a batch too large loses one line, not half"),
    ("I5", "exporters/influx/influx_batcher.cpp",
     "cap_bytes_ = std::max<std::size_t>(passed, 1);", "(void)passed;",
     "dropped step: what passed after a 413 does not cap later bodies"),
    ("I6", "exporters/influx/influx_endpoint.cpp", "std::stoi(std::string(port)) > 65535",
     "std::stoi(std::string(port)) > 65536", "off by one: port 65536 is accepted"),
    ("I7", "exporters/influx/influx_endpoint.cpp",
     "if (authority.find(':', colon + 1) != std::string_view::npos)", "if (false)",
     "dropped check: an IPv6 address without brackets is read as host and port"),
    ("I8", "daemon/config.cpp", "(config.influx_timeout_seconds >= 1 &&",
     "(config.influx_timeout_seconds >= 0 &&", "off by one: timeout = 0 is accepted"),
    ("I9", "daemon/collection_loop.cpp", "if (left_ms <= 0)", "if (false)",
     "dropped check: a POST (a 413 half too) starts with no time left"),
    ("I10", "exporters/influx/influx_batcher.cpp",
     "if (std::find(said_.begin(), said_.end(), message) != said_.end()) {", "if (false) {",
     "dropped step: every failing POST logs its message again"),
    ("I11", "exporters/influx/influx_batcher.cpp", "--raise_wait_ > 0)", "true)",
     "dropped step: a cap learned from 413 never rises again"),
    ("D7", "exporters/influx/influx_batcher.cpp",
     "        stop(answer.tls_failure ? PostingStop::tls_failure : PostingStop::no_answer);\n",
     "", "dropped step: posting goes on after a post without an answer"),
    ("D8", "daemon/collection_loop.cpp", "static_cast<std::int64_t>(settings.interval_seconds) * 1000000 - elapsed_us;",
     "static_cast<std::int64_t>(settings.interval_seconds) * 1000000;",
     "dropped step: the feed's time is not taken off its sleep"),
    ("D9", "daemon/main.cpp", "    tarn::reset_child_signal();\n", "",
     "dropped step: an inherited ignored SIGCHLD is kept"),
    ("P5", "platform/event_queue_linux.cpp", ": EPOLL_CTL_MOD;", ": EPOLL_CTL_ADD;",
     "wrong operation: changing a descriptor's interest fails"),
    ("D10", "daemon/collection_loop.cpp", "if (remaining_us <= 0) {", "if (remaining_us < 0) {",
     "off by one: a feed of exactly the interval is not an overrun"),
    ("D11", "daemon/collection_loop.cpp", "while (running(run_flag) && remaining_us > 0) {",
     "while (remaining_us > 0) {", "dropped check: a stop does not end the sleep"),
    ("D12", "daemon/collection_loop.cpp", "if (settings.dump_influx || settings.influx_enabled) {",
     "if (true) {", "dropped check: lines are built with Influx and the dump off"),
    ("D13", "daemon/collection_loop.cpp",
     "const std::int64_t slice = std::min(remaining_us, kMaxSleepSliceUs);",
     "const std::int64_t slice = remaining_us;", "dropped step: the sleep is not sliced"),
    ("C16", "collectors/command_runner.cpp", "!add_close_above_stderr(actions)) {", "false) {",
     "dropped step: tools inherit the daemon's descriptors"),
    ("C17", "collectors/command_runner.cpp", "abandon_tool(pid, key, command.front());",
     "(void)key, (void)command, ::waitpid(pid, nullptr, 0);",
     "blocking wait: a tool stuck in the kernel holds the feed"),
    ("C18", "collectors/command_runner.cpp", "if (tool_still_abandoned(key)) {",
     "if (false) {", "dropped check: a stuck command is started again every feed"),
    ("C19", "collectors/device_records.cpp", "if (found.records.size() < limit)",
     "if (found.records.size() < limit || true)",
     "dropped bound: every record of a devices object becomes a sample"),
    ("C20", "collectors/shared_memory.cpp", "if (first_report(name, size))",
     "if (first_report(name, size) || true)",
     "dropped check: the over-size warning comes every feed"),
    ("C21", "collectors/command_runner.cpp",
     "deadline = std::min(deadline, Clock::now() + kStopGrace);", "(void)deadline;",
     "dropped step: a stop waits out a running tool's time limit"),
    ("C22", "collectors/cpu_memory_parsers.cpp", "return key_kept;", "return false;",
     "wrong value: a container under the kept key is dropped, so its type error is lost"),
    ("K1", "daemon/config_text.cpp", "if (!first)", "if (false)",
     "dropped check: a key given twice is read as both lines joined"),
    ("K2", "daemon/config.cpp", "text.back() == text.front())", "text.back() == '\"')",
     "narrow check: a value in single quotes is not warned about"),
    ("K3", "exporters/web/listen_address.cpp", "address.host.substr(1, address.host.size() - 2);",
     "address.host.substr(1, address.host.size() - 1);",
     "off by one: the closing bracket of [ADDR] stays in the host"),
    ("K4", "daemon/main.cpp", "fine = startable(options, *loaded.config, cache, endpoint) &&",
     "fine = (startable(options, *loaded.config, cache, endpoint), true) &&",
     "dropped result: -t calls a configuration fine that a start refuses"),
    ("K5", "collectors/tool_failure_report.cpp", "if (failing == failing_)",
     "if (failing.size() == failing_.size())",
     "weak comparison: other failing pairs of the same number are not said"),
    ("K6", "exporters/web/listen_address.cpp", "(&v4->sin_addr)[0] == 127;",
     "(&v4->sin_addr)[3] == 1;", "narrow check: only 127.0.0.1 counts as loopback"),
    ("K7", "exporters/web/listen_address.cpp", "        bind_error = errno;\n        ::close(fd);",
     "        ::close(fd);", "dropped step: a bind failure is logged without its reason"),
    ("K8", "daemon/command_line.cpp", '"c:hvpit"', '"c:hvpi"',
     "dropped option: -t is refused as an invalid option"),
    ("G1", "daemon/config_text.cpp", "if (line.size() > kMaxConfigLineBytes)",
     "if (line.size() > kMaxConfigLineBytes + 1)", "off by one: a 200-byte line is read in two"),
    ("G2", "daemon/config_text.cpp", "            key.clear();", "",
     "dropped step: an indented key below a section header continues the key above it"),
    ("G3", "exporters/influx/influx_endpoint.cpp",
     "    if (rest.find('@') != std::string_view::npos)\n        return \"credentials", "    if (false)\n"
     "        return \"credentials", "wrong order: a url's user info is quoted by the character check"),
    ("G4", "daemon/config.cpp", "std::strtol(text.c_str(), nullptr, 0) == std::strtol",
     "std::strtol(text.c_str(), nullptr, 0) != std::strtol",
     "inverted check: octal and hexadecimal values are not said, decimal ones are"),
    ("G5", "exporters/web/listen_address.cpp", '    address->port = "0";', "",
     "dropped step: -t binds the configured port, which the running daemon holds"),
    ("G6", "daemon/main.cpp", 'std::fprintf(stderr, "Configuration %s is valid', 
     'std::fprintf(stdout, "Configuration %s is valid', "wrong stream: -t's verdict on stdout"),
    ("G7", "daemon/config.cpp", "url_for_messages(config.influx_url),", "config.influx_url,",
     "leak: a url's password in the message"),
    ("G8", "daemon/main.cpp", "        if (parsed.options.check_config)\n",
     "        if (false)\n", "dropped step: -t's command-line errors go to syslog only"),
    ("W1", "exporters/web/tls_context.cpp",
     "std::find(allowed.begin(), allowed.end(), text) != allowed.end();", "!allowed.empty();",
     "dropped check: any named client certificate passes client_allowed_sans"),
    ("W2", "exporters/web/web_config.cpp",
     "static_cast<unsigned char>(c) < 0x20 && c != '\\t';", "c == '\\n';",
     "missed case: a CR in a header value is let through"),
    ("W3", "exporters/web/web_config.cpp",
     "std::find(allowed->second.begin(), allowed->second.end(), lower) ==",
     "std::find(allowed->second.begin(), allowed->second.end(), value) ==",
     "wrong comparison: header values are matched with case"),
    ("W4", "exporters/web/rate_limit.cpp", "if (tokens_ < 1)", "if (tokens_ < 0)",
     "off by one: the bucket lets one request more through"),
    ("W5", "exporters/web/web_config_reloader.cpp", "if (stamps == seen_) {",
     "if (stamps.size() == seen_.size()) {", "wrong comparison: a changed file is not noticed"),
    ("W6", "exporters/web/web_config.h", "kMaxBcryptCost = 14;", "kMaxBcryptCost = 31;",
     "wrong constant: bcrypt costs are not bounded"),
    ("W7", "exporters/web/credential_check.cpp",
     "if (credentials->password.find('\\0') != std::string::npos)", "if (false)",
     "dropped check: a NUL in a password reaches crypt"),
    ("W8", "exporters/web/credential_check.cpp",
     "if (verified != verified_.end() && verified->second == key)",
     "if (verified != verified_.end())",
     "dropped comparison: any password of a verified user is let in"),
    ("W9", "exporters/web/credential_check.cpp", "if (result.generation != generation_) {",
     "if (false) {", "dropped check: a verdict under the old user list is remembered"),
    ("W10", "exporters/web/tls_context.cpp", "SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION",
     "SSL_OP_NO_RENEGOTIATION", "dropped option: TLS 1.2 sessions are resumed by ticket"),
    ("W11", "exporters/web/web_config_reloader.cpp", "if (stamps != moving_) {", "if (false) {",
     "dropped wait: a file still being written is loaded at once"),
    ("W12", "exporters/web/credential_check.cpp", "const Asked asked{generation_, key};",
     "const Asked asked{0, key};", "lost key: a request after a reload joins a check before it"),
    ("W13", "exporters/web/http_connection.cpp",
     "const bool limited = state_ == State::reading && !within_rate_limit();",
     "const bool limited = false;", "dropped gate: an answer at the deadline skips the limit"),
    ("W14", "exporters/web/web_config.cpp",
     "if (Checked refusal = repeated_key(entry.second, inside(name)))",
     "if (Checked refusal = Checked{})",
     "dropped step: a key repeated below the top level is taken"),
    ("W15", "exporters/web/http_connection.cpp", "if (!request_.empty())\n", "if (true)\n",
     "dropped check: a connection that sent nothing counts as a scrape"),
]


def run(cmd, timeout=None, **kwargs):
    return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout, **kwargs)


def first_failure(output):
    failed = re.findall(r"^\s*\d+ - (\S+) \(", output, re.M)
    return failed[0] if failed else "?"


def ctest(build, selector, timeout):
    """True when every selected test passed; else the first failing test's name."""
    try:
        result = run(["ctest", "--test-dir", build, "-j2", "--stop-on-failure"] + selector,
                     timeout=timeout)
    except subprocess.TimeoutExpired:
        return "(time-out of the whole run)"
    if result.returncode == 0:
        return True
    return first_failure(result.stdout)


def read_hints(path):
    """Fault id -> the test that caught it in an earlier run's table."""
    if not path:
        return {}
    with open(path) as f:
        rows = re.findall(r"^\| (\w+) \|.*\| caught by (\S+) \|", f.read(), re.M)
    return dict(rows)


def try_fault(fault, build, timeout, hint=None):
    ident, path, original, planted, _ = fault
    full = os.path.join(ROOT, path)
    with open(full) as f:
        source = f.read()
    if source.count(original) != 1:
        return "not applicable (text not found once)", 0.0
    started = time.monotonic()
    try:
        with open(full, "w") as f:
            f.write(source.replace(original, planted))
        built = run(["cmake", "--build", build, "-j2"])
        if built.returncode != 0:
            return "does not compile", time.monotonic() - started
        selectors = [["-E", r"^e2e\."], ["-R", r"^e2e\."]]
        if hint:
            selectors.insert(0, ["-R", "^" + re.escape(hint) + "$"])
        for selector in selectors:
            outcome = ctest(build, selector, timeout)
            if outcome is not True:
                return f"caught by {outcome}", time.monotonic() - started
        return "NOT caught", time.monotonic() - started
    finally:
        with open(full, "w") as f:
            f.write(source)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/mutants")
    parser.add_argument("--only", default="")
    parser.add_argument("--out", default="")
    parser.add_argument("--timeout", type=int, default=1200, help="seconds per ctest run")
    parser.add_argument("--hint", default="", help="an earlier run's table: its catchers go first")
    args = parser.parse_args()
    build = os.path.join(ROOT, args.build)
    run(["cmake", "-S", ".", "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
         "-DTARN_BUILD_BENCHMARKS=OFF"]).check_returncode()
    clean = run(["cmake", "--build", build, "-j2"])
    if clean.returncode != 0:
        sys.exit("the unchanged tree does not build:\n" + clean.stdout[-4000:])
    chosen = [f for f in FAULTS if not args.only or f[0] in args.only.split(",")]
    rows = ["| id | file | fault | result | s |", "| --- | --- | --- | --- | ---: |"]
    caught, hints = 0, read_hints(args.hint)
    for fault in chosen:
        outcome, seconds = try_fault(fault, build, args.timeout, hints.get(fault[0]))
        caught += outcome.startswith("caught")
        rows.append(f"| {fault[0]} | {fault[1]} | {fault[4]} | {outcome} | {seconds:.0f} |")
        print(rows[-1], flush=True)
    run(["cmake", "--build", build, "-j2"])  # leave the build matching the restored tree
    rows.append(f"\n{caught} of {len(chosen)} caught")
    table = "\n".join(rows)
    print(table)
    if args.out:
        with open(args.out, "w") as f:
            f.write(table + "\n")


if __name__ == "__main__":
    main()
