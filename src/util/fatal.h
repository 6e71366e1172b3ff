// A broken internal invariant: the process ends at once, nothing is unwound.
#pragma once

#include <source_location>
#include <string_view>

namespace nolv {

[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current());

// Names the calling thread for fatal messages and debuggers (at most 15 bytes on Linux).
void set_thread_name(std::string_view name);

}  // namespace nolv
