#include "client/connect_thread.h"

#include "client/internal_event.h"
#include "util/thread.h"

namespace nolv {

Result<ConnectResult<Transport>> take_connect_result(ConnectResultReceiver& receiver) {
  Receipt<ConnectResult<Transport>> received = receiver.try_recv();
  if (received.value) return std::move(*received.value);
  if (received.status == RecvStatus::Empty) return fail("receiving on an empty channel");
  return fail("receiving on a closed channel");
}

Result<ConnectResultReceiver> start_connect_thread(Target target, bool ssl_insecure,
                                                   ConnectOptions options, EventLoopProxy proxy) {
  auto channel = Channel<ConnectResult<Transport>>::open(1, CloseRule::FirstValue);
  auto body = [sender = std::move(channel.sender), target = std::move(target), ssl_insecure,
               options = std::move(options), proxy = std::move(proxy)] {
    (void)sender.send(connect(target, ssl_insecure, options));
    (void)proxy.send_event(make_internal_event("connect-result", ""));
  };
  if (auto started = spawn_detached("connect", std::move(body)); !started) {
    return fail("failed to start the connect thread: {}", started.message());
  }
  return std::move(channel.receiver);
}

}  // namespace nolv
