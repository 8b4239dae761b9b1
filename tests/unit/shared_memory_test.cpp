#include "collectors/shared_memory.h"

#include "log_capture.h"
#include "open_descriptors.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>

namespace tarn {
namespace {

using testing::LogCapture;
using testing::open_descriptors;

class SharedObject {
  public:
    SharedObject(const std::string& bytes) : name_("/tarn-test." + std::to_string(::getpid())) {
        int fd = ::shm_open(name_.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    ~SharedObject() { ::shm_unlink(name_.c_str()); }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

TEST(SharedMemoryTest, AbsentAndEmptyObjectsGiveNoMapping) {
    const int before = open_descriptors();
    auto absent = read_shared_memory("/tarn-test.does-not-exist");
    EXPECT_FALSE(absent);
    EXPECT_EQ(absent.data(), nullptr);
    EXPECT_EQ(absent.size(), 0u);
    {
        SharedObject empty("");
        auto mapping = read_shared_memory(empty.name());
        EXPECT_EQ(mapping.data(), nullptr);
        EXPECT_EQ(mapping.size(), 0u);
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST(SharedMemoryTest, MapsTheWholeObjectReadOnlyIncludingNulBytes) {
    std::string bytes(100, '\0');
    bytes.replace(0, 5, "hello");
    SharedObject object(bytes);
    const int before = open_descriptors();
    auto mapping = read_shared_memory(object.name());
    EXPECT_EQ(open_descriptors(), before); // the descriptor is closed at once
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping.size(), 100u);
    EXPECT_EQ(mapping.bytes(), bytes);

    // Moving hands over the one mapping; the moved-from owner unmaps nothing.
    SharedMemoryMapping moved = std::move(mapping);
    EXPECT_FALSE(mapping);
    EXPECT_EQ(moved.bytes(), bytes);
    const void* address = moved.data();
    moved.reset();
    EXPECT_FALSE(moved);
    // After the unmap the page is gone from this process.
    unsigned char residency = 0;
    EXPECT_NE(::mincore(const_cast<void*>(address), 1, &residency), 0);
}

void resize_object(const std::string& name, std::size_t size) {
    int fd = ::shm_open(name.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

TEST(SharedMemoryTest, ObjectsOverTheCopyLimitCountAsAbsent) {
    // Sparse objects: the size is claimed, no page is written.
    const std::uint64_t sizes[] = {kSharedMemoryCopyLimit, kSharedMemoryCopyLimit + 1, 1ULL << 40};
    for (const std::uint64_t size : sizes) {
        SharedObject object("");
        resize_object(object.name(), size);
        const int before = open_descriptors();
        LogCapture log;
        auto mapping = read_shared_memory(object.name());
        EXPECT_EQ(open_descriptors(), before);
        if (size <= kSharedMemoryCopyLimit) {
            EXPECT_TRUE(mapping) << size;
            EXPECT_EQ(mapping.size(), size);
            EXPECT_EQ(log.text(), "");
            continue;
        }
        EXPECT_FALSE(mapping) << size;
        EXPECT_EQ(log.text(), "[shm] " + object.name() + " is " + std::to_string(size) +
                                  " bytes, over the 67108864 byte limit; skipped\n");
    }
}

TEST(SharedMemoryTest, CopyGivesUpOnAnObjectShrunkUnderItsMapping) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::string bytes(4 * page, 'x');
    SharedObject object(bytes);
    auto mapping = read_shared_memory(object.name());
    ASSERT_TRUE(mapping);
    EXPECT_EQ(mapping.copy(), bytes);

    // Pages past the new end fault when touched; the copy is absent and the process goes on.
    resize_object(object.name(), page);
    EXPECT_EQ(mapping.copy(), std::nullopt);
    EXPECT_EQ(mapping.copy(), std::nullopt);

    // Grown back, the lost pages read as zeros, the kept one as before.
    resize_object(object.name(), 4 * page);
    std::string expected = bytes;
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(page), expected.end(), '\0');
    EXPECT_EQ(mapping.copy(), expected);

    EXPECT_EQ(SharedMemoryMapping().copy(), std::nullopt);
}

TEST(SharedMemoryDeathTest, BusErrorOutsideACopyStillEndsTheProcess) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EXIT(
        {
            SharedObject object(std::string(2 * page, 'x'));
            auto mapping = read_shared_memory(object.name());
            int fd = ::shm_open(object.name().c_str(), O_RDWR, 0);
            ::shm_unlink(object.name().c_str()); // this child ends without its destructors
            (void)mapping.copy();                // the guard is in place from here on
            if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(page)) != 0)
                std::_Exit(1);
            const volatile unsigned char* past_end = mapping.data() + page;
            (void)*past_end;
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGBUS), "");
}

} // namespace
} // namespace tarn
