// What starting a child process with posix_spawn needs: its pipes and the spawn settings, each
// released once whatever way the start goes.
#pragma once

#include <signal.h>
#include <spawn.h>

#include <initializer_list>
#include <optional>
#include <utility>

#include "util/unique_handle.h"

namespace nolv {

// A pipe whose ends are closed on exec: (read end, write end); nullopt with errno set.
[[nodiscard]] std::optional<std::pair<UniqueFd, UniqueFd>> make_pipe();

// A posix_spawn settings object: set up when made, destroyed once when dropped.
template <typename T, auto Init, auto Destroy>
struct SpawnSettings {
  T value;
  SpawnSettings() { Init(&value); }
  ~SpawnSettings() { Destroy(&value); }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
};

using SpawnActions = SpawnSettings<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                   posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnSettings<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// The child starts with no signal blocked and the default disposition of `signals`, whatever
// this process has set up for its own signal handling.
void reset_signals(SpawnAttributes& attributes, std::initializer_list<int> signals);

}  // namespace nolv
