#pragma once

namespace tarn {

// Stores 0 into the run flag and does nothing else.
extern "C" void handle_stop_signal(int signal_number);

// SIGINT and SIGTERM, empty mask, no SA_RESTART: a blocking call returns EINTR on a stop.
void install_stop_signal_handler();

} // namespace tarn
