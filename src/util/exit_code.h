// The process exit codes, readable by every layer.
#pragma once

#include <cstdint>

namespace nolv {

enum ExitCode : std::int32_t {
  kExitOk = 0,
  kExitConnectionLost = 1,
  kExitServerFailure = 7,
  kExitSshFailure = 8,
  kExitInvalidPacket = 9,
  kExitEventLoop = 14,
  kExitTlsFailure = 16,
  kExitConnectionFailed = 18,
  kExitAuthentication = 28,
  kExitUsage = 34,
};
inline constexpr std::int32_t kNoExitCode = -1;

}  // namespace nolv
