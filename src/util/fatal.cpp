#include "util/fatal.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace nolv {

namespace {
thread_local std::string thread_name = "main";
}

void set_thread_name(std::string_view name) {
  thread_name = std::string(name);
  pthread_setname_np(pthread_self(), thread_name.substr(0, 15).c_str());
}

void fatal(std::string_view message, std::source_location where) {
  std::fprintf(stderr, "fatal error in thread '%s' at %s:%u:%u: %.*s\n", thread_name.c_str(),
               where.file_name(), where.line(), where.column(), static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  std::_Exit(101);
}

}  // namespace nolv
