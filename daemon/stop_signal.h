#pragma once

namespace tarn {

// Stores 0 into the run flag and does nothing else.
extern "C" void handle_stop_signal(int signal_number);

// SIGINT and SIGTERM, empty mask, no SA_RESTART: a blocking call returns EINTR on a stop.
void install_stop_signal_handler();

// Gives SIGCHLD its default action. A supervisor may hand it down ignored; finished children are
// then reaped by the kernel, waitpid fails with ECHILD and every host command's answer is lost.
void reset_child_signal();

} // namespace tarn
