// The process exit codes, readable by every layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace nolv {

enum class ExitCode : std::int32_t {
  Ok = 0,
  ConnectionLost = 1,
  ServerFailure = 7,
  SshFailure = 8,
  InvalidPacket = 9,
  EventLoop = 14,
  TlsFailure = 16,
  ConnectionFailed = 18,
  Authentication = 28,
  Usage = 34,
};

// The number the process ends with.
constexpr int exit_status(ExitCode code) {
  return static_cast<int>(code);
}

// One exit code shared between threads: the first one stored wins.
class ExitCodeSlot {
 public:
  void store(ExitCode code) {
    std::int32_t none = kNone;
    (void)code_.compare_exchange_strong(none, static_cast<std::int32_t>(code));
  }
  std::optional<ExitCode> get() const {
    const std::int32_t code = code_.load();
    if (code == kNone) return std::nullopt;
    return static_cast<ExitCode>(code);
  }

 private:
  static constexpr std::int32_t kNone = -1;
  std::atomic<std::int32_t> code_{kNone};
};

}  // namespace nolv
