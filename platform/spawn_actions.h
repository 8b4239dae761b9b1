#pragma once

#include <spawn.h>

namespace tarn {

// Adds to `actions` the closing, in the child, of every descriptor above standard error, so that
// a host tool starts with 0, 1 and 2 only, whatever the daemon (or a library it uses) has open
// without close-on-exec. False when the action cannot be added; the spawn must then not happen.
bool add_close_above_stderr(posix_spawn_file_actions_t& actions);

} // namespace tarn
