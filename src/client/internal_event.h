// Internal events: messages from the program's own threads to the event-loop thread, shaped
// like server packets.
#pragma once

#include <string_view>

#include "net/packet.h"

namespace nolv {

// True for the names the program's own threads post; a packet read from the connection under
// one of them is refused.
[[nodiscard]] bool is_internal_event_name(std::string_view name);

}  // namespace nolv
