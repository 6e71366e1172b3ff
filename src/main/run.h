// The main routine: options, target, connection, event loop, and the process exit code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/remote_logging.h"

namespace nolv {

// `args` holds every process argument, argument 0 included when there is one.
int run(std::shared_ptr<LogForwardSlot> log_forwarding, const std::vector<std::string>& args);

}  // namespace nolv
