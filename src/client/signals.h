// Two sources of internal events outside the event-loop thread: the "ping" thread and the
// console interrupts (SIGINT, SIGQUIT, SIGHUP and SIGTERM, waited for on a thread of their own).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/event_proxy.h"
#include "util/exit_code.h"
#include "util/result.h"

namespace nolv {

inline constexpr std::chrono::seconds kPingPeriod{5};

// Posts "send-ping" every `period` until posting fails.
void ping_thread(EventLoopProxy proxy, std::chrono::milliseconds period = kPingPeriod);

// The console event codes handled, and the names posted for them.
inline constexpr std::uint32_t kCtrlC = 0, kCtrlBreak = 1, kCtrlClose = 2, kCtrlLogoff = 5,
                               kCtrlShutdown = 6;
std::optional<std::string_view> console_event_name(std::uint32_t code);

// The process-wide slot through which the console handler reaches the event loop.
// False when the slot's lock could not be taken.
bool store_interrupt_proxy(std::optional<EventLoopProxy> proxy);

// Posts "interrupt" with the event's name; false when the code is not handled or no proxy is
// stored, so that the default handling applies.
bool console_ctrl_handler(std::uint32_t code);

// How long after a console signal the process may still run: the orderly way out (the farewell
// packet with its own deadline, then the teardown) fits well inside it, and the process ends at
// it even when the event loop is stuck and never sees the interrupt.
inline constexpr std::chrono::seconds kInterruptDeadline{4};
// How long the teardown after the event loop may take before the process ends regardless.
inline constexpr std::chrono::seconds kTeardownDeadline{3};

// The code a forced end uses: the first one the session stored (0 when none was).
void remember_exit_code(ExitCode code);

// Ends the process with `code` if it is still alive when `deadline` has passed; dropping the
// guard first disarms it.
class ExitDeadline {
 public:
  ExitDeadline(ExitCode code, std::chrono::milliseconds deadline);
  ExitDeadline(const ExitDeadline&) = delete;
  ExitDeadline& operator=(const ExitDeadline&) = delete;
  ~ExitDeadline();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// Blocks the four signals in the calling thread, so that threads started later inherit the
// mask and only the waiting thread sees them. Call before any thread is started.
void block_console_signals();
// Starts the thread that waits for the signals and hands them to console_ctrl_handler; a
// signal that the handler declines (no proxy stored yet) gets its default action, so an early
// Ctrl-C still ends the process. Once a signal has been handed over, the process ends at
// kInterruptDeadline with the remembered code. Later calls do nothing.
Status install_console_handler();

}  // namespace nolv
