// Remote logging: once the server asks for it, records of level info and above go to the event
// loop as "send-log" events, through a hook on the process-wide logger.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/event_proxy.h"
#include "util/log.h"

namespace nolv {

// Shared between the logger's hook and the Client; empty until the server asks for remote
// logging.
class LogForwardSlot {
 public:
  void fill(EventLoopProxy proxy) {
    std::lock_guard lock(mutex_);
    proxy_ = std::move(proxy);
  }
  std::optional<EventLoopProxy> copy() const {
    std::lock_guard lock(mutex_);
    return proxy_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<EventLoopProxy> proxy_;
};

// The logger hook that forwards records through whatever the slot holds.
LogHook log_forwarder(std::shared_ptr<LogForwardSlot> slot);

// Installs the process-wide logger with forwarding once; a second call ends the process.
std::shared_ptr<LogForwardSlot> install_logger(std::uint8_t max_level);

}  // namespace nolv
