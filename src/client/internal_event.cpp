#include "client/internal_event.h"

namespace nolv {

Packet make_internal_event(std::string name, std::string payload) {
  Packet packet;
  packet.items = {Yaml::string(std::move(name)), Yaml::string(std::move(payload))};
  return packet;
}

}  // namespace nolv
