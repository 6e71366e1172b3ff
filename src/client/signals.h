// Two sources of internal events outside the event-loop thread: the "ping" thread and the
// console interrupts (SIGINT, SIGQUIT, SIGHUP and SIGTERM, waited for on a thread of their own).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/event_loop.h"

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

// Blocks the four signals in the calling thread, so that threads started later inherit the
// mask and only the waiting thread sees them. Call before any thread is started.
void block_console_signals();
// Starts the thread that waits for the signals and hands them to console_ctrl_handler; a
// signal that the handler declines (no proxy stored yet) gets its default action, so an early
// Ctrl-C still ends the process. Later calls do nothing.
Status install_console_handler();

}  // namespace nolv
