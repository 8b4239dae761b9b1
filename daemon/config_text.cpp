#include "daemon/config_text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

namespace tarn {
std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n\f\v");
    if (begin == std::string::npos)
        return "";
    return text.substr(begin, text.find_last_not_of(" \t\r\n\f\v") - begin + 1);
}

} // namespace

std::vector<std::string> config_text_problems(const std::string& path, const std::string& text,
                                              const ReadsKey& reads) {
    std::vector<std::string> problems;
    std::map<std::pair<std::string, std::string>, int> first_line;
    std::string section;
    // The key whose value an indented line would continue, as the reader walks the file: set by
    // every name = value line, cleared by a section header, kept across blank and comment lines.
    std::string key;
    int key_line = 0;
    bool key_read = false, continued = false;
    int number = 0;
    for (std::size_t start = 0; start < text.size(); start = text.find('\n', start) + 1) {
        ++number;
        std::string line = text.substr(start, text.find('\n', start) - start);
        const bool last = text.find('\n', start) == std::string::npos;
        if (line.size() > kMaxConfigLineBytes) {
            problems.push_back(fmt::format("{}:{}: the line is {} bytes long, more than the {} "
                                           "the reader takes whole (it would read the rest as a "
                                           "line of its own): shorten it",
                                           path, number, line.size(), kMaxConfigLineBytes));
            if (last)
                break;
            continue;
        }
        if (line.find('\0') != std::string::npos)
            problems.push_back(fmt::format(
                "{}:{}: the line holds a NUL byte, where the reader would end it", path, number));
        if (number == 1 && line.starts_with("\xEF\xBB\xBF"))
            line.erase(0, 3);
        const std::string content = trimmed(line.substr(0, line.find('\0')));
        if (content.empty() || content[0] == ';' || content[0] == '#') {
        } else if (!key.empty() && std::isspace(static_cast<unsigned char>(line[0]))) {
            if (key_read && !continued)
                problems.push_back(fmt::format("{}:{}: [{}] {}: line {} begins with white space, "
                                               "so the reader adds it to this value; remove the "
                                               "indentation",
                                               path, key_line, section, key, number));
            continued = true;
        } else if (content[0] == '[') {
            section = lower_case(content.substr(1, content.find(']') - 1));
            key.clear();
        } else {
            key = lower_case(trimmed(content.substr(0, content.find_first_of("=:"))));
            key_line = number;
            key_read = reads(section, key);
            continued = false;
            if (key_read) {
                const auto [at, first] = first_line.try_emplace({section, key}, number);
                if (!first)
                    problems.push_back(fmt::format("{}:{}: [{}] {} given twice (first on line {})",
                                                   path, number, section, key, at->second));
            }
        }
        if (last)
            break;
    }
    return problems;
}

} // namespace tarn
