#include "platform/run_flag.h"

namespace tarn {

RunFlag g_run_flag{1};

} // namespace tarn
