// Named detached threads with an explicit stack size.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "util/result.h"

namespace nolv {

// The stack of the long-lived workers ("decode", "reader", "audio", "ping").
inline constexpr std::size_t kWorkerStackSize = 2 * 1024 * 1024;

// Starts `body` on a new thread named `name` and detaches it; the name also appears in fatal
// messages from that thread.
[[nodiscard]] Status spawn_detached(std::string name, std::function<void()> body,
                                    std::size_t stack_size = kWorkerStackSize);

}  // namespace nolv
