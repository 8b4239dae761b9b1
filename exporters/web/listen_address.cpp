#include "exporters/web/listen_address.h"

#include <algorithm>

namespace tarn {

std::optional<ListenAddress> split_listen_address(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    ListenAddress address{text.substr(0, colon), text.substr(colon + 1)};
    const std::string& port = address.port;
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int number = std::stoi(port);
    if (number < 1 || number > 65535)
        return std::nullopt;
    return address;
}

} // namespace tarn
