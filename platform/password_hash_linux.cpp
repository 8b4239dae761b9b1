// libxcrypt declares crypt_r in <crypt.h> and knows every bcrypt spelling ($2a$, $2b$, $2y$).
#include "platform/password_hash.h"

#include <crypt.h>

#include <memory>

namespace tarn {

std::string crypt_hash(const std::string& password, const std::string& setting) {
    // About 32 KiB: too much for a thread's stack to take lightly.
    const auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r(password.c_str(), setting.c_str(), data.get());
    // A refused setting gives NULL or a text beginning with '*', never a valid hash.
    if (hash == nullptr || hash[0] == '*')
        return {};
    return hash;
}

} // namespace tarn
