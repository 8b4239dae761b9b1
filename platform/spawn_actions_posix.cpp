#include "platform/spawn_actions.h"

#include <unistd.h>

namespace tarn {

// glibc 2.34+ and FreeBSD 13.1+ both have this extension under the same name.
bool add_close_above_stderr(posix_spawn_file_actions_t& actions) {
    return ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
}

} // namespace tarn
