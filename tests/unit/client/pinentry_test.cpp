#include "client/pinentry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "unit/yaml_builders.h"

namespace nolv {
namespace {

namespace fs = std::filesystem;

TEST(Assuan, EscapesPercentAndLineBreaksOnly) {
  EXPECT_EQ(assuan_escape("a%b\nc\rd e\tf"), "a%25b%0Ac%0Dd e\tf");
}

TEST(Assuan, UnescapesOnlyTwoHexDigits) {
  const std::pair<std::string, std::string> cases[] = {
      {"%41", "A"},
      {"%4a", "J"},
      {"%4A", "J"},
      {"%4", "%4"},
      {"%", "%"},
      {"%zz1", "%zz1"},
      {"%4g", "%4g"},
      {"a%25b", "a%b"},
      {"%C3%A9", "\xC3\xA9"},
      {"%FF", "\xEF\xBF\xBD"},
      {"x%C3", "x\xEF\xBF\xBD"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(assuan_unescape(in), out) << in;
}

// A scripted pinentry: a shell script that records what it receives and replies as told.
class FakePinentry {
 public:
  FakePinentry(const FakePinentry&) = delete;
  FakePinentry& operator=(const FakePinentry&) = delete;
  explicit FakePinentry(const std::string& body) {
    char name[] = "/tmp/nolv-pinentry-XXXXXX";
    dir_ = ::mkdtemp(name);
    program = dir_ + "/pinentry";
    log = dir_ + "/received";
    std::ofstream(program) << "#!/bin/sh\nexec 3>" << log << "\n" << body;
    ::chmod(program.c_str(), 0755);
  }
  ~FakePinentry() { fs::remove_all(dir_); }
  std::string received() const {
    std::ifstream in(log);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string program;
  std::string log;

 private:
  std::string dir_;
};

// Replies OK to everything; GETPIN gets `getpin` (lines separated by \n) instead.
std::string answering(const std::string& getpin, const std::string& greeting = "OK hi") {
  return "echo '" + greeting +
         "'\nwhile read -r cmd; do\n  echo \"$cmd\" >&3\n  case \"$cmd\" in\n"
         "    GETPIN) printf '" +
         getpin +
         "';;\n    BYE) exit 0;;\n    *) echo 'S status'; echo '# note'; echo; echo OK;;\n"
         "  esac\ndone\n";
}

struct Outcome {
  std::vector<Yaml> items;
  std::vector<std::string> lines;
};

Outcome run(const FakePinentry& fake, const char* gpg_tty = nullptr) {
  if (gpg_tty != nullptr) {
    ::setenv("GPG_TTY", gpg_tty, 1);
  } else {
    ::unsetenv("GPG_TTY");
  }
  auto sink = std::make_shared<RecordingSink>();
  LogCapture capture;
  run_pinentry(PinentryRequest{EventLoopProxy(sink), fake.program, "Enter pass\n100%"});
  ::unsetenv("GPG_TTY");
  auto events = sink->take();
  Outcome out;
  out.lines = capture.take_lines();
  if (events.size() == 1) out.items = events[0].items;
  return out;
}

Packet packet_of(std::vector<Yaml> items) {
  Packet p;
  p.items = std::move(items);
  return p;
}

TEST(Pinentry, TheDialogueAndItsCommands) {
  FakePinentry fake(answering("S x\\nD first\\n# c\\nD se%%63ond\\nOK\\n"));
  const Outcome out = run(fake);
  EXPECT_EQ(out.items, (std::vector<Yaml>{S("challenge-password"), S("second")}));
  EXPECT_EQ(fake.received(),
            "SETTITLE Nolv Authentication\nSETPROMPT Password:\n"
            "SETDESC Enter pass%0A100%25\nGETPIN\nBYE\n");
}

TEST(Pinentry, OutcomesOfGetpin) {
  struct Case {
    std::string getpin;
    std::vector<Yaml> items;
  };
  const std::vector<Case> cases = {
      {"D \\nOK\\n", {S("challenge-password"), S("")}},
      {"OK\\n", {S("challenge-cancel"), S("")}},
      {"D abc\\nERR 83886179 Operation cancelled\\n", {S("challenge-cancel"), S("")}},
      {"INQUIRE x\\nD ok\\nOK done\\n", {S("challenge-password"), S("ok")}},
      {"D two  \\nOK\\n", {S("challenge-password"), S("two  ")}},
  };
  for (const Case& c : cases) {
    FakePinentry fake(answering(c.getpin));
    const Outcome out = run(fake);
    EXPECT_EQ(out.items, c.items) << c.getpin << " gave " << to_string(packet_of(out.items));
  }
}

TEST(Pinentry, FailuresFallBackToTheDialogWithOneWarning) {
  struct Case {
    std::string body;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {answering("", "ERR 1 no greeting"), "ERR 1 no greeting"},
      {"echo OK\nread -r cmd\necho 'ERR 5 bad title'\n", "ERR 5 bad title"},
      {"echo OK\nread -r cmd\n", "pinentry closed the connection"},
      {"exit 0\n", "pinentry closed the connection"},
      {"echo OK\nfor i in 1 2 3; do read -r c; echo OK; done\nread -r c\necho 'D abc'\n",
       "pinentry closed the connection"},
  };
  for (const Case& c : cases) {
    FakePinentry fake(c.body);
    const Outcome out = run(fake);
    EXPECT_EQ(out.items,
              (std::vector<Yaml>{S("challenge-fallback-dialog"), S("Enter pass\n100%")}));
    ASSERT_EQ(out.lines.size(), 1u) << c.reason;
    EXPECT_NE(out.lines[0].find("WARN  [nolv::client::pinentry] pinentry failed (" + c.reason +
                                "), falling back to the built-in dialog"),
              std::string::npos)
        << out.lines[0];
  }
}

TEST(Pinentry, AProgramThatCannotStartFallsBack) {
  auto sink = std::make_shared<RecordingSink>();
  LogCapture capture;
  run_pinentry(PinentryRequest{EventLoopProxy(sink), "/nonexistent/pinentry", "Enter x"});
  const auto lines = capture.take_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("pinentry failed (cannot start /nonexistent/pinentry: "),
            std::string::npos);
  EXPECT_EQ(sink->take().at(0).items[0], S("challenge-fallback-dialog"));
}

TEST(Pinentry, GpgTtyAddsAnOptionWhoseErrorDoesNotMatter) {
  FakePinentry fake("echo OK\nread -r cmd\necho \"$cmd\" >&3\necho 'ERR 1 unknown option'\n" +
                    answering("D pw\\nOK\\n", "# greeting done"));
  const Outcome out = run(fake, "/dev/pts/9");
  EXPECT_EQ(out.items, (std::vector<Yaml>{S("challenge-password"), S("pw")}));
  EXPECT_EQ(fake.received().substr(0, 30), "OPTION ttyname=/dev/pts/9\nSETT");
}

// Debian's pinentry-tty needs a terminal: run it inside tmux and type the PIN there.
TEST(Pinentry, RealPinentryTtyUnderTmux) {
  if (!fs::exists("/usr/bin/pinentry-tty") || !fs::exists("/usr/bin/tmux")) {
    GTEST_SKIP() << "pinentry-tty or tmux missing";
  }
  char name[] = "/tmp/nolv-ptty-XXXXXX";
  const std::string dir = ::mkdtemp(name);
  const std::string wrapper = dir + "/pinentry";
  // The wrapper hands pinentry-tty the tmux pane's terminal, like a user's console.
  std::ofstream(wrapper) << "#!/bin/sh\nexec /usr/bin/pinentry-tty --ttyname \"$(cat " << dir
                         << "/tty)\"\n";
  ::chmod(wrapper.c_str(), 0755);
  const std::string socket = "nolv-test-" + std::to_string(::getpid());
  const std::string start =
      "tmux -L " + socket + " new-session -d -s pe -x 80 -y 24 'tty > " + dir + "/tty; sleep 30'";
  ASSERT_EQ(std::system(start.c_str()), 0);
  for (int i = 0; i < 100 && !fs::exists(dir + "/tty"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto sink = std::make_shared<RecordingSink>();
  std::thread prompt([&] {
    run_pinentry(PinentryRequest{EventLoopProxy(sink), wrapper, "Enter password"});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const std::string type = "tmux -L " + socket + " send-keys -t pe 's3cr3t' Enter";
  EXPECT_EQ(std::system(type.c_str()), 0);
  prompt.join();
  (void)std::system(("tmux -L " + socket + " kill-server").c_str());
  fs::remove_all(dir);
  const auto events = sink->take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].items, (std::vector<Yaml>{S("challenge-password"), S("s3cr3t")}));
}

}  // namespace
}  // namespace nolv
