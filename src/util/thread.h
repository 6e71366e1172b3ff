// Starting threads: each is named, for the logs and for fatal messages.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "util/fatal.h"
#include "util/result.h"

namespace nolv {

// The stack of the long-lived workers ("decode", "reader", "audio", "ping").
inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

class ThreadBody;

// What a thread may run: a callable taking nothing (a ThreadBody is moved, not wrapped again).
template <typename F>
concept ThreadCallable = std::invocable<F&> && !std::same_as<F, ThreadBody>;

// A thread's body, kept by moving, so it may own what cannot be copied (a channel end, a
// connection).
class ThreadBody {
 public:
  template <ThreadCallable F>
  ThreadBody(F f) : body_(std::make_unique<Holder<F>>(std::move(f))) {}

  void operator()() { body_->run(); }

 private:
  struct Callable {
    virtual ~Callable() = default;
    virtual void run() = 0;
  };
  template <typename F>
  struct Holder final : Callable {
    explicit Holder(F f) : body(std::move(f)) {}
    void run() override { body(); }
    F body;
  };
  std::unique_ptr<Callable> body_;
};

// Starts `body` on a new thread named `name` and detaches it; the name also appears in fatal
// messages from that thread.
[[nodiscard]] Status spawn_detached(std::string name, ThreadBody body,
                                    std::size_t stack_size = kWorkerStackSize);

// Starts `body(stop_token)` on a new thread named `name` and hands it to its owner: dropping the
// thread requests the stop and waits for it.
template <typename Body>
[[nodiscard]] Result<std::jthread> spawn_joinable(std::string name, Body body) {
  try {
    return std::jthread(
        [name = std::move(name), body = std::move(body)](std::stop_token stop) mutable {
          set_thread_name(name);
          body(std::move(stop));
        });
  } catch (const std::system_error& e) {
    return fail("{}", e.what());
  }
}

}  // namespace nolv
