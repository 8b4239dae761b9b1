#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tarn {

// The most the INI reader takes of one line whole, its line break not counted: the rest of a
// longer line would be read as a line of its own.
constexpr std::size_t kMaxConfigLineBytes = 199;

// As section and key names compare: without regard to case.
std::string lower_case(std::string text);

// Says whether the daemon reads a key (section and name in lower case).
using ReadsKey = std::function<bool(const std::string& section, const std::string& name)>;

// Where the INI reader would take the text otherwise than it reads to a person: a line longer
// than it takes whole, a NUL byte (the reader's end of the line), an indented line that it adds
// to the value of the key above, a key given twice (it joins both values with a line break).
// Only keys `reads` names count, as only their values are used. One message per finding, each
// beginning "PATH:LINE: "; none holds a value, which may be a password.
std::vector<std::string> config_text_problems(const std::string& path, const std::string& text,
                                              const ReadsKey& reads);

} // namespace tarn
