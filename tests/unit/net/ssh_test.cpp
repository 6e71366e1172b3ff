#include "net/ssh.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "net/connect.h"
#include "net/uri.h"
#include "unit/net/transport_test_util.h"

namespace nolv {
namespace {

const std::string kFakeSsh = std::string(NOLV_TEST_DATA) + "/transport/fake_ssh.sh";

Target ssh_target(const char* uri) {
  auto t = parse_uri(uri);
  EXPECT_TRUE(t) << uri;
  return t ? *t : Target{};
}

std::string script_for(const std::string& quoted_program, const std::string& proxy) {
  return "if command -v " + quoted_program + " > /dev/null 2>&1; then " + proxy +
         "; else echo \"no nolv command found:\" " + quoted_program + " 1>&2; exit 1; fi";
}

TEST(ShellQuote, EveryWordIsQuoted) {
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("nolv"), "'nolv'");
  EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
  EXPECT_EQ(shell_quote("a b$c"), "'a b$c'");
}

TEST(SshCommandLine, UserWithoutPortOrDisplay) {
  auto line = ssh_command_line(ssh_target("ssh://alice@server1/"), std::nullopt, std::nullopt);
  ASSERT_TRUE(line) << line.message();
  EXPECT_EQ(line->program, "ssh");
  const std::string script = script_for("'nolv'", "'nolv' _proxy");
  EXPECT_EQ(line->arguments, (std::vector<std::string>{"-x", "-T", "-l", "alice", "server1",
                                                       "sh -c " + shell_quote(script)}));
}

TEST(SshCommandLine, PlinkWithPortAndDisplay) {
  auto line =
      ssh_command_line(ssh_target("ssh://server1:2222/7"),
                       std::vector<std::string>{"D:\\Tools\\PLINK.EXE", "-batch"}, std::nullopt);
  ASSERT_TRUE(line) << line.message();
  EXPECT_EQ(line->program, "D:\\Tools\\PLINK.EXE");
  const std::string script = script_for("'nolv'", "'nolv' _proxy '7'");
  EXPECT_EQ(line->arguments, (std::vector<std::string>{"-batch", "-x", "-T", "-P", "2222",
                                                       "server1", "sh -c " + shell_quote(script)}));
}

TEST(SshCommandLine, PortFlagRules) {
  struct Case {
    const char* uri;
    std::vector<std::string> command;
    std::vector<std::string> port_arguments;
  };
  const std::vector<Case> cases = {
      {"ssh://h:22/", {"ssh"}, {}},
      {"ssh://h:022/", {"ssh"}, {"-p", "022"}},
      {"ssh://h:2200/", {"/usr/bin/ssh"}, {"-p", "2200"}},
      {"ssh://h:2200/", {"/opt/plink"}, {"-P", "2200"}},
      {"ssh://h:2200/", {"plinky"}, {"-p", "2200"}},
  };
  for (const Case& c : cases) {
    auto line = ssh_command_line(ssh_target(c.uri), c.command, std::nullopt);
    ASSERT_TRUE(line) << c.uri;
    std::vector<std::string> expected = {"-x", "-T"};
    expected.insert(expected.end(), c.port_arguments.begin(), c.port_arguments.end());
    expected.push_back("h");
    expected.push_back(line->arguments.back());
    EXPECT_EQ(line->arguments, expected) << c.uri << " " << c.command[0];
  }
  // An empty port text after the colon still takes the flag.
  Target empty_port = ssh_target("ssh://h/");
  empty_port.address = "h:";
  auto line = ssh_command_line(empty_port, std::nullopt, std::nullopt);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->arguments[2], "-p");
  EXPECT_EQ(line->arguments[3], "");
}

// The script runs in a real shell: a remote program whose path holds a single quote and a blank
// gets "_proxy" and the display unchanged; a missing one gives the message and status 1.
TEST(SshRemoteScript, RunsTheProgramThroughARealShell) {
  test::TempDir dir;
  const std::string program = dir.file("it's nolv");
  {
    std::ofstream out(program);
    out << "#!/bin/sh\nprintf '%s|' \"$@\"\n";
  }
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  auto line = ssh_command_line(ssh_target("ssh://h/di'sp lay"), std::nullopt, program);
  ASSERT_TRUE(line);
  // What the remote side's shell would run: the single argument of the ssh command.
  const std::string remote = line->arguments.back();
  auto run = [&](const std::string& command, int& status) {
    const std::string capture = dir.file("out");
    const std::string full = "/bin/sh -c " + shell_quote(command) + " >" + capture + " 2>&1";
    status = std::system(full.c_str());
    std::ifstream in(capture);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  int status = -1;
  EXPECT_EQ(run(remote, status), "_proxy|di'sp lay|");
  EXPECT_EQ(status, 0);

  auto missing = ssh_command_line(ssh_target("ssh://h/"), std::nullopt, dir.file("none"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(run(missing->arguments.back(), status),
            "no nolv command found: " + dir.file("none") + "\n");
  EXPECT_NE(status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(SshConnect, Failures) {
  struct Case {
    Target target;
    std::optional<std::vector<std::string>> command;
    std::string message;
  };
  Target no_port = ssh_target("ssh://h/");
  no_port.address = "host";
  const std::vector<Case> cases = {
      {ssh_target("ssh://h/"), std::vector<std::string>{},
       "ssh connection failed: the ssh command is empty"},
      {ssh_target("ssh://h/"), std::vector<std::string>{"/nonexistent/ssh", "-v"},
       "ssh connection failed: failed to launch /nonexistent/ssh: " + os_error_text(ENOENT)},
      {ssh_target("ssh://h/"), std::vector<std::string>{"nolv-test-no-such-program"},
       "ssh connection failed: failed to launch nolv-test-no-such-program: " +
           os_error_text(ENOENT)},
      {no_port, std::nullopt, "ssh connection failed: missing port in host"},
  };
  for (const Case& c : cases) {
    ConnectOptions options;
    options.ssh_command = c.command;
    auto result = connect(c.target, false, options);
    ASSERT_FALSE(result) << c.message;
    EXPECT_EQ(result.error(), (ConnectError{ExitCode::SshFailure, c.message}));
  }
}

std::vector<std::string> recorded_argv(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> out;
  std::string word;
  while (std::getline(in, word, '\0')) out.push_back(word);
  return out;
}

TEST(SshConnect, FakeSshCarriesBytesBothWays) {
  test::TempDir dir;
  const std::string argv_file = dir.file("argv");
  ::setenv("FAKE_SSH_ARGV", argv_file.c_str(), 1);
  ::unsetenv("FAKE_SSH_EXIT");
  ConnectOptions options;
  options.ssh_command = std::vector<std::string>{kFakeSsh, "-o", "Batch=yes"};
  options.remote_nolv = "/opt/nolv";
  auto opened = connect(ssh_target("ssh://bob@127.0.0.1:2200/3"), false, options);
  ASSERT_TRUE(opened) << opened.error().message;
  Transport writer = std::move(opened).value();
  EXPECT_EQ(writer.tag(), 4u);
  auto reader = writer.try_clone();
  ASSERT_TRUE(reader);

  const std::vector<std::uint8_t> packet(100000, 0x5A);
  std::vector<std::uint8_t> back(packet.size());
  std::thread reading([&] { EXPECT_TRUE(conn_read_exact(*reader, back)); });
  ASSERT_TRUE(transport_write_all(writer, packet));
  reading.join();
  EXPECT_EQ(back, packet);

  const std::string script = script_for("'/opt/nolv'", "'/opt/nolv' _proxy '3'");
  EXPECT_EQ(recorded_argv(argv_file),
            (std::vector<std::string>{"-o", "Batch=yes", "-x", "-T", "-p", "2200", "-l", "bob",
                                      "127.0.0.1", "sh -c " + shell_quote(script)}));
}

// Bracketed IPv6 hosts reach the real child as the bare address, with the port as its own word.
TEST(SshConnect, BracketedHostsReachTheChildBare) {
  struct Case {
    const char* uri;
    std::vector<std::string> before_script;
  };
  const std::vector<Case> cases = {
      {"ssh://[::1]/", {"-x", "-T", "::1"}},
      {"ssh://user@[::1]:2222/", {"-x", "-T", "-p", "2222", "-l", "user", "::1"}},
      {"ssh://[fe80::1%lo]:22/5", {"-x", "-T", "fe80::1%lo"}},
      {"ssh://127.0.0.1:2200/", {"-x", "-T", "-p", "2200", "127.0.0.1"}},
  };
  test::TempDir dir;
  const std::string argv_file = dir.file("argv");
  ::setenv("FAKE_SSH_ARGV", argv_file.c_str(), 1);
  ::setenv("FAKE_SSH_EXIT", "1", 1);
  for (const Case& c : cases) {
    std::remove(argv_file.c_str());
    ConnectOptions options;
    options.ssh_command = std::vector<std::string>{kFakeSsh};
    auto opened = connect(ssh_target(c.uri), false, options);
    ASSERT_TRUE(opened) << c.uri << ": " << opened.error().message;
    // The child has written its arguments once its output ends.
    std::vector<std::uint8_t> header(8);
    EXPECT_FALSE(conn_read_exact(opened.value(), header));
    std::vector<std::string> argv = recorded_argv(argv_file);
    ASSERT_FALSE(argv.empty()) << c.uri;
    argv.pop_back();
    EXPECT_EQ(argv, c.before_script) << c.uri;
  }
  ::unsetenv("FAKE_SSH_EXIT");
}

TEST(SshCommandLine, BracketedHostErrors) {
  struct Case {
    const char* address;
    const char* cause;
  };
  const std::vector<Case> cases = {
      {"[::1", "missing ']' in [::1"},
      {"[::1]2222", "missing port in [::1]2222"},
  };
  for (const Case& c : cases) {
    Target target = ssh_target("ssh://h/");
    target.address = c.address;
    auto line = ssh_command_line(target, std::nullopt, std::nullopt);
    ASSERT_FALSE(line) << c.address;
    EXPECT_EQ(line.message(), c.cause);
  }
}

TEST(SshConnect, ChildExitReadsAsEndOfStream) {
  test::TempDir dir;
  ::setenv("FAKE_SSH_ARGV", dir.file("argv").c_str(), 1);
  ::setenv("FAKE_SSH_EXIT", "1", 1);
  ConnectOptions options;
  options.ssh_command = std::vector<std::string>{kFakeSsh};
  auto opened = connect(ssh_target("ssh://h/"), false, options);
  ::unsetenv("FAKE_SSH_EXIT");
  ASSERT_TRUE(opened) << opened.error().message;
  std::vector<std::uint8_t> header(8);
  auto result = conn_read_exact(opened.value(), header);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.message(), "failed to fill whole buffer");
  // Writing to the ended child fails instead of ending this process.
  Status s;
  for (int i = 0; i < 50 && s.ok(); ++i) {
    s = transport_write_all(opened.value(), std::vector<std::uint8_t>(65536, 1));
  }
  EXPECT_FALSE(s);
  EXPECT_EQ(s.message(), os_error_text(EPIPE));
}

}  // namespace
}  // namespace nolv
