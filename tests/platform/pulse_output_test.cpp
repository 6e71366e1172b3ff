#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fakes/log_capture.h"
#include "platform/pulse/pulse_output.h"

extern char** environ;

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

// A PulseAudio of the test's own with one null sink, reached through PULSE_SERVER while it runs.
class PrivatePulse {
 public:
  PrivatePulse() {
    char name[] = "/tmp/nolv-pulse-XXXXXX";
    if (::mkdtemp(name) == nullptr) return;
    dir_ = name;
    const std::string socket = dir_ + "/pulse.sock";
    const std::string home = "HOME=" + dir_;
    const std::string runtime = "XDG_RUNTIME_DIR=" + dir_;
    std::vector<std::string> args = {
        "pulseaudio",
        "--daemonize=no",
        "--system=false",
        "--exit-idle-time=-1",
        "-n",
        "--disallow-exit",
        "--log-target=file:" + dir_ + "/pulse.log",
        "--load=module-null-sink sink_name=testsink rate=48000 channels=2",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {home, runtime};
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_RUNTIME_DIR=")) {
        env_text.emplace_back(entry);
      }
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
      return;
    }
    const char* old = std::getenv("PULSE_SERVER");
    if (old != nullptr) saved_server_ = old;
    ::setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    // The socket appears once the server listens; 10 s covers a loaded machine.
    for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ready_ = std::filesystem::exists(socket);
  }
  ~PrivatePulse() {
    if (saved_server_) {
      ::setenv("PULSE_SERVER", saved_server_->c_str(), 1);
    } else {
      ::unsetenv("PULSE_SERVER");
    }
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;
  bool ready() const { return ready_; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::optional<std::string> saved_server_;
};

// A rate the server will not take turns trimming off with a debug line; the stream plays on.
// (The server accepts every rate its library lets through, so the refusal comes from the library,
// as it would for a server too old for rate changes.)
TEST(PulseOutput, RefusedRateChangeTurnsTrimmingOffAndPlaysOn) {
  PrivatePulse pulse;
  if (!pulse.ready()) GTEST_SKIP() << "no pulseaudio could be started";
  PulseOutputFactory outputs("nolv-test");
  auto output = outputs.open(2);
  ASSERT_TRUE(output) << output.message();
  AudioOutput& out = **output;
  ASSERT_TRUE(out.start());
  // A trim step is taken.
  ASSERT_TRUE(out.set_sample_rate(48240.0f));
  EXPECT_TRUE(out.has_rate_adjust());

  LogCapture log;
  EXPECT_TRUE(out.set_sample_rate(400000.0f));
  EXPECT_FALSE(out.has_rate_adjust());
  EXPECT_TRUE(out.set_sample_rate(500000.0f));  // said once
  const std::vector<std::int16_t> silence(2 * 480, 0);
  EXPECT_TRUE(out.write(silence));
  const auto lines = log.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("DEBUG") != l.npos &&
                                   l.find("the audio server refused a playback rate change: ") !=
                                       l.npos &&
                                   l.find("; rate trimming is off") != l.npos;
                          }),
            1)
      << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace nolv
