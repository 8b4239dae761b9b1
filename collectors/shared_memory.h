#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// Owner of one read-only mapping of a POSIX shared-memory object.
class SharedMemoryMapping {
  public:
    SharedMemoryMapping() = default;
    SharedMemoryMapping(const void* data, std::uint64_t size) : data_(data), size_(size) {}
    ~SharedMemoryMapping() { reset(); }

    SharedMemoryMapping(SharedMemoryMapping&& other) noexcept;
    SharedMemoryMapping& operator=(SharedMemoryMapping&& other) noexcept;
    SharedMemoryMapping(const SharedMemoryMapping&) = delete;
    SharedMemoryMapping& operator=(const SharedMemoryMapping&) = delete;

    // Null when there is no mapping: the object is absent or empty, or mapping it failed.
    const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
    std::uint64_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    std::string_view bytes() const {
        return data_ ? std::string_view(static_cast<const char*>(data_), size_)
                     : std::string_view();
    }

    // A copy of the mapped bytes, after which the mapping is gone; absent when there is no mapping
    // or when the bytes can no longer be read. A publisher that shrinks its object while it is
    // mapped leaves pages past the new end that fault (SIGBUS) when touched; the copy gives up
    // instead of ending the daemon. Each part is unmapped once copied, so that the object's
    // pages and the copy are never resident at once: a large object costs its size once.
    std::optional<std::string> take_copy();

    void reset();

  private:
    const void* data_ = nullptr;
    std::uint64_t size_ = 0;
};

// The largest object that is mapped and copied; real ones are a few KiB. A larger one (a sparse
// object can claim any size) counts as absent, so that copying it cannot exhaust memory.
inline constexpr std::uint64_t kSharedMemoryCopyLimit = 64ULL * 1024 * 1024;

// Maps the named object (with its leading slash) read-only over its whole size; an object over
// kSharedMemoryCopyLimit is logged and not mapped.
SharedMemoryMapping read_shared_memory(const std::string& name);

} // namespace tarn
