// Internal events: messages from the program's own threads to the event-loop thread, shaped
// like server packets.
#pragma once

#include <string>

#include "net/packet.h"

namespace nolv {

// Two String items [name, payload], no chunks, no decode time.
Packet make_internal_event(std::string name, std::string payload);

}  // namespace nolv
