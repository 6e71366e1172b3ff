#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/pulse/pulse_output.h"

namespace nolv {
namespace {

// Without a reachable server the output fails at once with the step and the server's cause,
// so the start-up probe fails and the session goes on without speaker forwarding.
TEST(PulseOutput, NoServerFailsWithTheStepAndCause) {
  const char* old = std::getenv("PULSE_SERVER");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("PULSE_SERVER", "unix:/nonexistent/nolv-test/pulse.sock", 1);
  PulseOutputFactory outputs;
  auto output = outputs.open(2);
  if (old != nullptr) {
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
  } else {
    ::unsetenv("PULSE_SERVER");
  }
  ASSERT_FALSE(output);
  EXPECT_EQ(output.message().rfind("opening default audio output: ", 0), 0u) << output.message();
}

}  // namespace
}  // namespace nolv
