// The main routine: options, target, connection, event loop, and the process exit code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/remote_logging.h"
#include "platform/event_loop.h"

namespace nolv {

// `args` holds every process argument, argument 0 included when there is one.
// `platform` creates the event loop and tells the keyboard layout.
int run(std::shared_ptr<LogForwardSlot> log_forwarding, const std::vector<std::string>& args,
        Platform& platform);

}  // namespace nolv
