#include "daemon/stop_signal.h"

#include "platform/run_flag.h"

#include <csignal>

namespace tarn {

extern "C" void handle_stop_signal(int) {
    g_run_flag.store(0, std::memory_order_relaxed);
}

void install_stop_signal_handler() {
    struct sigaction action {};
    action.sa_handler = handle_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void reset_child_signal() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCHLD, &action, nullptr);
}

} // namespace tarn
