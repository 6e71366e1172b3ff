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

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  // The child starts with no signal blocked and the default disposition of `signals`, whatever
  // this process has set up for its own signal handling.
  void reset_signals(std::initializer_list<int> signals);
};

}  // namespace nolv
