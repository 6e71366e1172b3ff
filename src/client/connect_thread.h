// The "connect" thread: opens the connection chosen in the connection dialog away from the
// event loop and hands the result back through a one-slot channel.
#pragma once

#include "net/connect.h"
#include "platform/event_proxy.h"
#include "util/channel.h"
#include "util/result.h"

namespace nolv {

// The one-shot channel on which the "connect" thread hands its result to the event loop.
using ConnectResultReceiver = Receiver<ConnectResult<Transport>>;

// Without waiting: the result, or "receiving on an empty channel" / "... on a closed channel".
Result<ConnectResult<Transport>> take_connect_result(ConnectResultReceiver& receiver);

// Starts the "connect" thread: it opens the connection, puts the result into the channel and
// posts ["connect-result", ""].
Result<ConnectResultReceiver> start_connect_thread(Target target, bool ssl_insecure,
                                                   ConnectOptions options, EventLoopProxy proxy);

}  // namespace nolv
