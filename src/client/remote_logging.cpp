#include "client/remote_logging.h"

#include <string>

namespace nolv {

namespace {

thread_local bool forwarding = false;

}  // namespace

LogHook log_forwarder(std::shared_ptr<LogForwardSlot> slot) {
  return [slot = std::move(slot)](const LogRecord& record) {
    const auto number = static_cast<std::uint8_t>(record.level);
    if (number > static_cast<std::uint8_t>(LogLevel::Info) || forwarding) return;
    const std::optional<EventLoopProxy> proxy = slot->copy();
    if (!proxy) return;
    forwarding = true;
    Packet event;
    event.items = {Yaml::string("send-log"), Yaml::integer(50 - 10 * number),
                   Yaml::string(std::string(record.message))};
    (void)proxy->send_event(std::move(event));  // the loop may have ended: nothing to do then
    forwarding = false;
  };
}

std::shared_ptr<LogForwardSlot> install_logger(std::uint8_t max_level) {
  auto slot = std::make_shared<LogForwardSlot>();
  install_process_logger(max_level, log_forwarder(slot));
  return slot;
}

}  // namespace nolv
