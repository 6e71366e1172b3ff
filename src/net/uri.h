// Connection targets: the user's connection string as the kind, address, path and user to use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace nolv {

// The numbers 0 to 4 match the Transport variants.
enum class TargetKind : std::uint8_t { Tcp = 0, Ssl = 1, Ws = 2, Wss = 3, Ssh = 4, Socket = 5 };

struct Target {
  std::string address;              // host:port as written, or the socket path
  std::string path;                 // websocket path from its "/", or the ssh display
  std::optional<std::string> user;  // ssh login name, only when the authority has "@"
  TargetKind kind = TargetKind::Tcp;

  friend bool operator==(const Target&, const Target&) = default;
};

// Checks only the form of the string; resolution and ports are the connection's business.
Result<Target> parse_uri(std::string_view text);

}  // namespace nolv
