// FreeBSD's libc has crypt_r in <unistd.h>. Its bcrypt reads the "$2a$" and "$2b$" spellings;
// "$2y$" (what htpasswd -B writes) is the same algorithm under another name, so it is hashed as
// "$2b$" and named back.
#include "platform/password_hash.h"

#include <unistd.h>

#include <memory>

namespace tarn {

std::string crypt_hash(const std::string& password, const std::string& setting) {
    const bool renamed = setting.rfind("$2y$", 0) == 0;
    const std::string asked = renamed ? "$2b$" + setting.substr(4) : setting;
    const auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r(password.c_str(), asked.c_str(), data.get());
    if (hash == nullptr || hash[0] == '*')
        return {};
    std::string result = hash;
    if (renamed && result.rfind("$2b$", 0) == 0)
        result[2] = 'y';
    return result;
}

} // namespace tarn
