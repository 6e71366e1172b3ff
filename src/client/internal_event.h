// Internal events: messages from the program's own threads to the event-loop thread, shaped
// like server packets (`make_internal_event`). The dispatcher's routing table says which names
// are the program's own; a packet read from the connection under one of them is refused.
#pragma once

#include "net/packet.h"
