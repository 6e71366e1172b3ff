#include "client/signals.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "client/internal_event.h"
#include "util/log.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::signals::imp";
// The waiting thread only logs and posts.
constexpr std::size_t kSignalThreadStack = 256 * 1024;

std::mutex interrupt_mutex;
std::optional<EventLoopProxy> interrupt_proxy;

// For a forced end; the session's own code, first wins.
ExitCodeSlot remembered_exit_code;

// Ends at once: whatever still runs is what the orderly way out could not stop.
[[noreturn]] void end_process(ExitCode code) {
  std::fflush(stdout);
  std::_Exit(exit_status(code));
}

ExitCode forced_exit_code() {
  return remembered_exit_code.get().value_or(ExitCode::Ok);
}

sigset_t console_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&set, sig);
  return set;
}

std::optional<std::uint32_t> code_of_signal(int sig) {
  switch (sig) {
    case SIGINT:
      return kCtrlC;
    case SIGQUIT:
      return kCtrlBreak;
    case SIGHUP:
      return kCtrlClose;
    case SIGTERM:
      return kCtrlShutdown;
    default:
      return std::nullopt;
  }
}

[[noreturn]] void default_action(int sig) {
  std::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  std::raise(sig);
  std::_Exit(128 + sig);  // not reached for the four signals waited for
}

// Waits for the next signal, until `deadline` once one was handed over; none when it passed.
std::optional<int> next_signal(const sigset_t& set,
                               std::optional<std::chrono::steady_clock::time_point> deadline) {
  for (;;) {
    if (!deadline) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) return sig;
      continue;
    }
    const auto left = *deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return std::nullopt;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
    const int sig = sigtimedwait(&set, nullptr, &wait);
    if (sig > 0) return sig;
  }
}

void wait_for_signals() {
  const sigset_t set = console_signals();
  std::optional<std::chrono::steady_clock::time_point> deadline;
  while (true) {
    const std::optional<int> sig = next_signal(set, deadline);
    if (!sig) end_process(forced_exit_code());
    const auto code = code_of_signal(*sig);
    if (!code || !console_ctrl_handler(*code)) default_action(*sig);
    if (!deadline) deadline = std::chrono::steady_clock::now() + kInterruptDeadline;
  }
}

}  // namespace

void remember_exit_code(ExitCode code) {
  remembered_exit_code.store(code);
}

struct ExitDeadline::Shared {
  std::mutex mutex;
  std::condition_variable disarmed_changed;
  bool disarmed = false;
};

ExitDeadline::ExitDeadline(ExitCode code, std::chrono::milliseconds deadline)
    : shared_(std::make_shared<Shared>()) {
  Status started = spawn_detached(
      "exit-deadline",
      [shared = shared_, code, deadline] {
        std::unique_lock lock(shared->mutex);
        if (!shared->disarmed_changed.wait_for(lock, deadline, [&] { return shared->disarmed; })) {
          end_process(code);
        }
      },
      kSignalThreadStack);
  if (!started) log_warn(kLog, "no deadline for the shut-down: {}", started.message());
}

ExitDeadline::~ExitDeadline() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->disarmed = true;
  }
  shared_->disarmed_changed.notify_all();
}

void ping_thread(EventLoopProxy proxy, std::chrono::milliseconds period) {
  while (true) {
    std::this_thread::sleep_for(period);
    if (!proxy.send_event(make_internal_event("send-ping", ""))) return;
  }
}

std::optional<std::string_view> console_event_name(std::uint32_t code) {
  switch (code) {
    case kCtrlC:
      return "Ctrl-C";
    case kCtrlBreak:
      return "Ctrl-Break";
    case kCtrlClose:
      return "console close";
    case kCtrlLogoff:
      return "logoff";
    case kCtrlShutdown:
      return "shutdown";
    default:
      return std::nullopt;
  }
}

bool store_interrupt_proxy(std::optional<EventLoopProxy> proxy) {
  std::lock_guard lock(interrupt_mutex);
  interrupt_proxy = std::move(proxy);
  return true;
}

bool console_ctrl_handler(std::uint32_t code) {
  const auto name = console_event_name(code);
  if (!name) return false;
  log_debug(kLog, "caught {}", *name);
  std::optional<EventLoopProxy> proxy;
  {
    std::lock_guard lock(interrupt_mutex);
    proxy = interrupt_proxy;
  }
  if (!proxy) return false;
  (void)proxy->send_event(make_internal_event("interrupt", std::string(*name)));
  return true;
}

void block_console_signals() {
  const sigset_t set = console_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Status install_console_handler() {
  static std::mutex mutex;
  static bool installed = false;
  std::lock_guard lock(mutex);
  if (installed) return {};
  block_console_signals();
  Status started = spawn_detached("signals", wait_for_signals, kSignalThreadStack);
  installed = started.ok();
  return started;
}

}  // namespace nolv
