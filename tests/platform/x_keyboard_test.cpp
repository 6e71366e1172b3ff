#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/qt/qt_platform.h"

namespace nolv {
namespace {

// A private X server for one test, found through -displayfd.
class Xvfb {
 public:
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  Xvfb() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24",
              "-nolisten", "tcp", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    if (!number.empty()) display = ":" + number;
  }
  ~Xvfb() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::string display;

 private:
  pid_t pid_ = -1;
};

TEST(XKeyboard, LayoutOfTheActiveGroupAndNoneWithoutADisplay) {
  const char* saved = std::getenv("DISPLAY");
  const std::string old = saved != nullptr ? saved : "";
  ::unsetenv("DISPLAY");
  EXPECT_EQ(x_keyboard_layout(), std::nullopt);
  EXPECT_FALSE(x_display_reachable());
  Xvfb x;
  ASSERT_FALSE(x.display.empty());
  ::setenv("DISPLAY", x.display.c_str(), 1);
  EXPECT_TRUE(x_display_reachable());
  // A busy server may publish its keyboard rules a little after it accepts clients.
  std::optional<std::string> layout = x_keyboard_layout();
  for (int i = 0; i < 100 && !layout; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    layout = x_keyboard_layout();
  }
  EXPECT_EQ(layout, "us");  // Xvfb's default rules
  if (saved != nullptr) {
    ::setenv("DISPLAY", old.c_str(), 1);
  } else {
    ::unsetenv("DISPLAY");
  }
}

}  // namespace
}  // namespace nolv
