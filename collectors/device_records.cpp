#include "collectors/device_records.h"

#include "collectors/text_scan.h"

#include <array>
#include <optional>

namespace tarn {
namespace {

using scan::skip_digits;
using scan::skip_spaces;
using scan::starts_with_at;

struct RecordLayout {
    std::string_view type_word;
    bool letters_after_word;                // "net[a-z]*"
    bool capture_device;                    // the balloon's number is not captured
    std::array<std::string_view, 2> models; // an empty second entry stands for none
    std::size_t value_count;
    bool pairs; // "digits/digits" separated by white space, else single numbers
};

constexpr RecordLayout kBlock{"block", false, true, {"virtio-blk", "nvme"}, 8, true};
constexpr RecordLayout kNet{"net", true, true, {"virtio-net", ""}, 8, true};
constexpr RecordLayout kBalloon{"balloon", false, false, {"virtio-balloon", ""}, 11, false};

// Digits at `at`: their end, or absent when there is none.
std::optional<std::size_t> digits_at(std::string_view text, std::size_t at) {
    const std::size_t end = skip_digits(text, at);
    if (end == at)
        return std::nullopt;
    return end;
}

std::optional<std::size_t> spaces_at(std::string_view text, std::size_t at) {
    const std::size_t end = skip_spaces(text, at);
    if (end == at)
        return std::nullopt;
    return end;
}

// The record starting at `at` (where the type word stands); its end, or absent.
std::optional<std::size_t> match_record(std::string_view text, std::size_t at,
                                        const RecordLayout& layout, DeviceRecord& record) {
    at += layout.type_word.size();
    if (layout.letters_after_word)
        while (at < text.size() && text[at] >= 'a' && text[at] <= 'z')
            ++at;
    auto end = digits_at(text, at);
    if (!end)
        return std::nullopt;
    if (layout.capture_device)
        record.device_number = text.substr(at, *end - at);
    at = *end;
    if (!starts_with_at(text, at, ":") || !(end = digits_at(text, at + 1)) ||
        !(end = spaces_at(text, *end)))
        return std::nullopt;
    at = *end;
    bool model_found = false;
    for (std::string_view model : layout.models) {
        if (!model.empty() && starts_with_at(text, at, model)) {
            at += model.size();
            model_found = true;
            break;
        }
    }
    if (!model_found)
        return std::nullopt;
    record.value_count = 0;
    const std::size_t groups = layout.pairs ? layout.value_count / 2 : layout.value_count;
    for (std::size_t group = 0; group < groups; ++group) {
        if (!(end = spaces_at(text, at)))
            return std::nullopt;
        at = *end;
        if (!(end = digits_at(text, at)))
            return std::nullopt;
        record.values[record.value_count++] = text.substr(at, *end - at);
        at = *end;
        if (layout.pairs) {
            if (!starts_with_at(text, at, "/") || !(end = digits_at(text, at + 1)))
                return std::nullopt;
            record.values[record.value_count++] = text.substr(at + 1, *end - at - 1);
            at = *end;
        }
    }
    return at;
}

FoundRecords find_records(std::string_view text, const RecordLayout& layout, std::size_t limit) {
    FoundRecords found;
    std::size_t at = text.find(layout.type_word);
    while (at != std::string_view::npos) {
        DeviceRecord record;
        if (const auto end = match_record(text, at, layout, record)) {
            if (found.records.size() < limit)
                found.records.push_back(record);
            else
                ++found.skipped; // still matched, so that the search goes on where it would
            at = text.find(layout.type_word, *end);
        } else {
            at = text.find(layout.type_word, at + 1);
        }
    }
    return found;
}

} // namespace

FoundRecords find_block_records(std::string_view text, std::size_t limit) {
    return find_records(text, kBlock, limit);
}
FoundRecords find_net_records(std::string_view text, std::size_t limit) {
    return find_records(text, kNet, limit);
}
FoundRecords find_balloon_records(std::string_view text, std::size_t limit) {
    return find_records(text, kBalloon, limit);
}

} // namespace tarn
