// Every text the daemon takes from outside, one libFuzzer target each: the name this program is
// started by (a link named after a corpus directory) chooses it. The scanners of argument vectors
// and device records are compared with the regex each documents, on inputs small enough for the
// regex engine's recursion; what others read is checked for properties.
#include "collectors/cpu_memory_parsers.h"
#include "collectors/device_records.h"
#include "collectors/device_stats.h"
#include "collectors/vm_number.h"
#include "daemon/config.h"
#include "exporters/web/http_server.h"
#include "exporters/web/request_headers.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

namespace {

using std::string, std::string_view, std::optional, std::regex, std::smatch;
constexpr std::size_t kDifferentialLimit = 2048;

// A broken property is a finding: say what differed and abort, so libFuzzer keeps the input.
void check(bool holds, const string& what) {
    if (!holds) {
        std::fprintf(stderr, "FUZZ PROPERTY FAILED: %s\n", what.c_str());
        std::abort();
    }
}

// Regexes are compiled once per pattern: building one costs more than matching a small input.
const regex& compiled(const char* pattern) {
    static std::map<const char*, regex> cache;
    auto it = cache.find(pattern);
    return it != cache.end() ? it->second : cache.emplace(pattern, regex(pattern)).first->second;
}

// The same characters of the text (the same view, not only equal bytes), or both absent.
void same_view(optional<string_view> scanned, optional<string_view> expected, const char* what) {
    const auto at = [](auto v) { return v ? std::pair(v->data(), v->size()) : std::pair("", 0UL); };
    check(scanned.has_value() == expected.has_value() && at(scanned) == at(expected), what);
}

string_view group(const string& text, const smatch& m, std::size_t g) {
    return string_view(text).substr(static_cast<std::size_t>(m.position(g)),
                                    static_cast<std::size_t>(m.length(g)));
}

void same_records(const string& text, const std::vector<tarn::DeviceRecord>& records,
                  const char* pattern, std::size_t first_value) {
    std::size_t index = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), compiled(pattern));
         it != std::sregex_iterator(); ++it, ++index) {
        check(index < records.size(), fmt::format("{}: the regex finds more records", pattern));
        const tarn::DeviceRecord& record = records[index];
        check(record.value_count == it->size() - first_value,
              fmt::format("{}: record {} has another value count", pattern, index));
        for (std::size_t g = 1; g < it->size(); ++g)
            same_view(g < first_value ? record.device_number : record.values[g - first_value],
                      group(text, *it, g), pattern);
    }
    check(index == records.size(), fmt::format("{}: the scan finds more records", pattern));
}

void check_answer(const string& response, int status, string_view body_expected) {
    check(response.starts_with(fmt::format("HTTP/1.1 {} ", status)), "another status line");
    const std::size_t end = response.find("\r\n\r\n");
    check(end != string::npos, "an answer without an end of headers");
    const string_view body = string_view(response).substr(end + 4);
    check(response.find(fmt::format("\r\nContent-Length: {}\r\n", body.size())) < end,
          "a Content-Length that is not the body's size");
    check(status != 200 || body == body_expected, "a 200 answer without the rendered body");
}

string lowered(string_view text) {
    string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

string kTarget;
string config_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    kTarget = std::filesystem::path((*argv)[0]).filename();
    spdlog::set_level(spdlog::level::off); // refused input is logged: noise at fuzzing speed
    config_path = fmt::format("/tmp/tarn_config_fuzz.{}.ini", ::getpid());
    std::atexit([] { std::remove(config_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const string text(reinterpret_cast<const char*>(data), size);
    const bool small = size <= kDifferentialLimit;
    if (kTarget == "tool_text_fuzz") { // bhyvectl --get-all, --get-stats, --get-vcpu-class; rctl
        // What the figures are is the unit tests' table; here only that no text is mishandled.
        const auto all = tarn::parse_get_all(text);
        check(!all || all->vm_cpus >= 1, "a topology of fewer than one vCPU");
        (void)tarn::parse_get_stats(text), (void)tarn::parse_rctl(text);
        const auto limit_class = tarn::parse_vcpu_class(text);
        check(!limit_class || (*limit_class >= 0 && *limit_class <= 99), "a class of 3 digits");
    } else if (kTarget == "vdc_document_fuzz") {
        // The JSON library's exception is the documented refusal; any other is a finding. (What
        // it finds is the unit tests' table.)
        try {
            (void)tarn::parse_vdc_document(text);
        } catch (const nlohmann::json::exception&) {
        }
    } else if (kTarget == "vm_number_fuzz") {
        const auto number = tarn::vm_number_from_arguments(text);
        check(!number || *number >= 0, "a negative VM number from a digit string");
        using Scan = optional<string_view> (*)(string_view);
        for (auto [scan, pattern, whole] :
             {std::tuple<Scan, const char*, bool>{tarn::match_vm_title, tarn::kVmTitlePattern,
                                                  true},
              {tarn::search_vm_topology_command, tarn::kVmTopologyCommandPattern, false},
              {tarn::search_vm_cpu_count_command, tarn::kVmCpuCountCommandPattern, false}}) {
            smatch m;
            if (small)
                same_view(scan(text),
                          (whole ? std::regex_match(text, m, compiled(pattern))
                                 : std::regex_search(text, m, compiled(pattern)))
                              ? optional(group(text, m, whole ? 1 : 2))
                              : std::nullopt,
                          pattern);
        }
    } else if (kTarget == "devices_fuzz") {
        std::vector<tarn::MetricSample> samples;
        tarn::append_device_samples(text, 3, "host", samples);
        for (const tarn::MetricSample& sample : samples)
            for (const tarn::MetricField& field : sample.fields)
                check(!field.value.empty() &&
                          field.value.find_first_not_of("0123456789") == string::npos,
                      "a device field value that is not a digit string");
        using Find = tarn::FoundRecords (*)(string_view, std::size_t);
        for (auto [find, pattern, first] :
             {std::tuple<Find, const char*, std::size_t>{tarn::find_block_records,
                                                         tarn::kBlockRecordPattern, 2},
              {tarn::find_net_records, tarn::kNetRecordPattern, 2},
              {tarn::find_balloon_records, tarn::kBalloonRecordPattern, 1}}) {
            const tarn::FoundRecords all = find(text, SIZE_MAX), one = find(text, 1);
            check(all.skipped == 0 && one.records.size() + one.skipped == all.records.size(),
                  "a bound changes how many records are found");
            if (small)
                same_records(text, all.records, pattern, first);
        }
    } else if (kTarget == "config_fuzz") {
        check(static_cast<bool>(std::ofstream(config_path, std::ios::binary) << text), "temp file");
        const tarn::ConfigResult result = tarn::load_config(config_path);
        // No config comes with a parse error or a refused value (error 0); a config never does.
        check(!(result.config && result.error.parse_error != 0) &&
                  (!result.config || result.config->interval_seconds >= 1),
              "a config and a parse error, or an interval below one second");
    } else if (kTarget == "http_request_fuzz") {
        string buffer; // the server's read loop: chunks until the request counts as complete
        for (std::size_t at = 0; at < text.size() && !tarn::request_complete(buffer); at += 4096)
            buffer.append(string_view(text).substr(at, 4096));
        const tarn::RequestLine line = tarn::parse_request_line(buffer);
        // The request line ends at the first CR LF; method and path stop at their delimiters.
        auto within = [&](string_view part, const char* stops) {
            return part.empty() || (part.data() >= buffer.data() &&
                                    part.data() + part.size() <= buffer.data() + buffer.size() &&
                                    part.find_first_of(stops) == string_view::npos &&
                                    part.find("\r\n") == string_view::npos);
        };
        check(within(line.method, " ") && within(line.path, " ?"),
              "a method or path past its delimiter");
        const bool scrape = line.method == "GET" && line.path == "/metrics";
        const int expected = line.method != "GET" ? 405 : !scrape ? 404 : 200;
        const string body = "tarn_vm_up 1\n";
        const auto render = [&] { return std::make_shared<const string>(body); };
        check_answer(tarn::respond_to_request(buffer, render), expected, body);
        check_answer(tarn::respond_to_request(
                         buffer, []() -> tarn::Document { throw std::runtime_error("x"); }),
                     scrape ? 500 : expected, body); // a failing render is answered, not thrown
    } else if (kTarget == "request_headers_fuzz") {
        // The header fields the scrape server reads: values stay inside their own line, and
        // credentials are only taken from the one strict spelling of their base64.
        for (const char* name : {"Authorization", "Accept-Encoding"}) {
            const optional<string_view> value = tarn::header_value(text, name);
            check(!value || value->empty() ||
                      (value->data() > text.data() &&
                       value->data() + value->size() <= text.data() + text.size() &&
                       value->find_first_of("\r\n") == string_view::npos &&
                       string_view(" \t").find(value->front()) == string_view::npos &&
                       string_view(" \t").find(value->back()) == string_view::npos),
                  "a header value past its line or with white space around it");
        }
        const optional<string_view> encoding = tarn::header_value(text, "Accept-Encoding");
        const string codings = lowered(encoding.value_or(""));
        check(!tarn::accepts_gzip(encoding) || codings.find("gzip") != string::npos ||
                  codings.find('*') != string::npos,
              "gzip allowed by a value that names neither gzip nor *");
        if (const auto credentials = tarn::parse_basic_authorization(text)) {
            check(credentials->user.find(':') == string::npos, "a user name holding ':'");
            const string plain = credentials->user + ":" + credentials->password;
            string token(4 * ((plain.size() + 2) / 3) + 1, '\0');
            token.resize(static_cast<std::size_t>(
                ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(token.data()),
                                  reinterpret_cast<const unsigned char*>(plain.data()),
                                  static_cast<int>(plain.size()))));
            const std::size_t at = text.find(token);
            check(at != string::npos && lowered(text).find("basic") < at,
                  "credentials from another spelling than their base64");
        }
    } else {
        check(false, "no target named " + kTarget);
    }
    return 0;
}
