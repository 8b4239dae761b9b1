#pragma once

#include <dirent.h>

namespace tarn::testing {

// Descriptors this process holds now, to show that an operation leaves none behind.
inline int open_descriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count - 1; // the directory stream's own
}

} // namespace tarn::testing
