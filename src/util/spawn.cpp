#include "util/spawn.h"

#include <fcntl.h>
#include <unistd.h>

namespace nolv {

std::optional<std::pair<UniqueFd, UniqueFd>> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void reset_signals(SpawnAttributes& attributes, std::initializer_list<int> signals) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : signals) sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes.value, &defaults);
  posix_spawnattr_setsigmask(&attributes.value, &none);
  posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

}  // namespace nolv
