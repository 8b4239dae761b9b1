#include "collectors/shared_memory.h"
#include "metrics/health_figures.h"

#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace tarn {
namespace {

// Copied and then unmapped at a time; a multiple of every page size in use.
constexpr std::uint64_t kCopyPart = 1 << 20;

// Set only while this thread copies from a mapping; a bus error there abandons the copy.
thread_local sigjmp_buf* t_copy_guard = nullptr;

extern "C" void on_bus_error(int signal_number) {
    if (t_copy_guard != nullptr)
        siglongjmp(*t_copy_guard, 1);
    // Any other bus error is a real fault: end the process as the default action would.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
    ::raise(signal_number);
}

// The size each over-size object was last reported with: a publisher that keeps its object too
// large is logged once, and again only when the size changes or after it was fine in between.
std::mutex g_oversize_mutex;
std::map<std::string, std::uint64_t> g_oversize_reported;

// True when the object has not been reported with this size since it was last fine.
bool first_report(const std::string& name, std::uint64_t size) {
    const std::lock_guard<std::mutex> lock(g_oversize_mutex);
    const auto [at, added] = g_oversize_reported.try_emplace(name, size);
    if (!added && at->second == size)
        return false;
    at->second = size;
    return true;
}

void forget_report(const std::string& name) {
    const std::lock_guard<std::mutex> lock(g_oversize_mutex);
    if (!g_oversize_reported.empty())
        g_oversize_reported.erase(name);
}

void install_bus_error_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = on_bus_error;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, nullptr);
    });
}

} // namespace

SharedMemoryMapping::SharedMemoryMapping(SharedMemoryMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SharedMemoryMapping& SharedMemoryMapping::operator=(SharedMemoryMapping&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

std::optional<std::string> SharedMemoryMapping::take_copy() {
    if (data_ == nullptr || data_ == MAP_FAILED)
        return std::nullopt;
    install_bus_error_handler();
    // Allocated before the guarded part, so that leaving it by the jump skips no clean-up.
    const std::uint64_t total = size_;
    std::string text(total, '\0');
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) != 0) {
        t_copy_guard = nullptr;
        reset(); // what is still mapped
        return std::nullopt;
    }
    t_copy_guard = &jump;
    // The fences keep each copy inside the guard and data_/size_ stored before the next one, so
    // that a jump out of a copy unmaps exactly what is left.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    while (size_ > 0) {
        const std::uint64_t part = std::min(size_, kCopyPart);
        std::memcpy(text.data() + (total - size_), data_, part);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        ::munmap(const_cast<void*>(data_), part); // parts start on page boundaries
        data_ = static_cast<const char*>(data_) + part;
        size_ -= part;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    t_copy_guard = nullptr;
    data_ = nullptr;
    return text;
}

void SharedMemoryMapping::reset() {
    if (data_ != nullptr && data_ != MAP_FAILED)
        ::munmap(const_cast<void*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
}

SharedMemoryMapping read_shared_memory(const std::string& name) {
    int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0)
        return {};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size <= 0) {
        ::close(fd);
        return {};
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > kSharedMemoryCopyLimit) {
        ::close(fd);
        health_figures().count("shm_skipped", {{"cause", "over_size"}});
        if (first_report(name, size))
            spdlog::warn("[shm] {} is {} bytes, over the {} byte limit; skipped", name, size,
                         kSharedMemoryCopyLimit);
        return {};
    }
    forget_report(name);
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd); // the mapping stays valid without the descriptor
    if (address == MAP_FAILED)
        return SharedMemoryMapping(nullptr, size);
    return SharedMemoryMapping(address, size);
}

} // namespace tarn
