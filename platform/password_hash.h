#pragma once

#include <string>

namespace tarn {

// The C library's crypt_r: the hash of password under setting (a whole hash serves as its own
// setting, so a password matches a hash when the result equals the hash). Empty when the library
// refuses the setting. Re-entrant: any thread may call it.
std::string crypt_hash(const std::string& password, const std::string& setting);

} // namespace tarn
