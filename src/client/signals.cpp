#include "client/signals.h"

#include <pthread.h>

#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#include "client/internal_event.h"
#include "client/remote_logging.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::signals::imp";
// The waiting thread only logs and posts.
constexpr std::size_t kSignalThreadStack = 256 * 1024;

std::mutex interrupt_mutex;
std::optional<EventLoopProxy> interrupt_proxy;

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

void wait_for_signals() {
  const sigset_t set = console_signals();
  while (true) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    const auto code = code_of_signal(sig);
    if (!code || !console_ctrl_handler(*code)) default_action(sig);
  }
}

}  // namespace

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
