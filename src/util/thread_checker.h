// Holding an object to the thread it belongs to, where a stray call would be a data race.
#pragma once

#include <source_location>
#include <string_view>
#include <thread>

#include "util/fatal.h"

namespace nolv {

// Remembers the thread that built it. `check` ends the process when called on any other thread,
// in builds with assertions (debug and the sanitized builds); without them (release) it holds
// nothing and checks nothing.
class ThreadChecker {
 public:
#ifdef NDEBUG
  void check(std::string_view, std::source_location = std::source_location::current()) const {}
#else
  void check(std::string_view what,
             std::source_location where = std::source_location::current()) const {
    if (std::this_thread::get_id() != owner_) fatal(what, where);
  }

 private:
  std::thread::id owner_ = std::this_thread::get_id();
#endif
};

}  // namespace nolv
