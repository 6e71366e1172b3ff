#include "net/rand.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "net/sha256.h"
#include "util/log.h"

namespace nolv {

namespace {

// Nanoseconds since 1970 in 100-ns steps (0 before 1970), the clock resolution the seed rule
// was written for.
std::uint64_t wall_clock_nanos() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  if (nanos <= 0) return 0;
  return static_cast<std::uint64_t>(nanos) / 100 * 100;
}

}  // namespace

bool system_random(std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // never expected; avoids spinning forever
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

void splitmix64_fill(std::span<std::uint8_t> out, std::uint64_t seed) {
  std::uint64_t state = seed;
  for (std::uint8_t& byte : out) {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z = z ^ (z >> 31);
    byte = static_cast<std::uint8_t>(z);
  }
}

std::string random_salt_hex(std::size_t count, RandomSource source) {
  std::vector<std::uint8_t> bytes(count, 0);
  if (!source(bytes)) {
    log_warn("nolv::net::rand", "getrandom failed, using a non-cryptographic salt fallback");
    // The buffer's address differs between calls made in the same clock step.
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(bytes.data()));
    splitmix64_fill(bytes, wall_clock_nanos() ^ address);
  }
  return hex_encode(bytes);
}

std::string random_salt_hex(std::size_t count) {
  return random_salt_hex(count, system_random);
}

}  // namespace nolv
