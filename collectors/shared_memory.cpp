#include "collectors/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace tarn {

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
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd); // the mapping stays valid without the descriptor
    if (address == MAP_FAILED)
        return SharedMemoryMapping(nullptr, size);
    return SharedMemoryMapping(address, size);
}

} // namespace tarn
