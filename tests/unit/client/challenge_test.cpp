#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "net/sha256.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

Yaml challenge_salt() {
  return S("AAECAwQFBgcICQoLDA0ODw==");
}  // bytes 0..15

TEST(Challenge, KnownAnswerOfBothHmacSteps) {
  Bytes server_salt(16);
  for (std::uint8_t i = 0; i < 16; ++i) server_salt[i] = i;
  std::string client_salt;
  for (int i = 0; i < 4; ++i) client_salt += "0123456789abcdef";
  // Computed with Python's hmac module over the same ASCII texts.
  const ChallengeAnswer answer = challenge_answer("secret", server_salt, client_salt);
  EXPECT_EQ(answer.client_salt, client_salt);
  EXPECT_EQ(answer.response, "6f44d12b93642f48da3ed979cbc755a8cbb00983e05a3b5c88743be8756e8a5b");
  EXPECT_EQ(hmac_sha256_hex(client_salt, std::string(server_salt.begin(), server_salt.end())),
            "a5327a27bd96920f64a1acc1084c0b0f773978b37b16bb227c6312755c89434a");
}

TEST_F(SessionTest, ChallengeAnsweredFromTheEnvironmentResendsTheHello) {
  ScopedEnv password("NOLV_PASSWORD", "secret");
  LogCapture capture;
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
  const auto lines = capture.take_lines();
  EXPECT_TRUE(any_line_has(lines, "authenticating with the password from NOLV_PASSWORD"));
  EXPECT_FALSE(any_line_has(lines, "Enter password"));
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  const Json& caps = (*hello)[1];
  const std::string client_salt = caps["challenge_client_salt"];
  Bytes server_salt(16);
  for (std::uint8_t i = 0; i < 16; ++i) server_salt[i] = i;
  EXPECT_EQ(caps["challenge_response"],
            challenge_answer("secret", server_salt, client_salt).response);
  EXPECT_EQ(caps["challenge_padding"].get<std::string>().size(), 128u);
  EXPECT_FALSE(client->challenge.awaiting_password());
  // Answered: a later challenge is handled afresh.
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
  EXPECT_TRUE(peer.next());
}

class ChallengeSession : public SessionTest {
 protected:
  // A session built as the connection dialog builds it, with the password typed there.
  void connect_with_password(std::optional<std::string> password) {
    client =
        Client::create(ClientContext{EventLoopProxy(sink), {}, slot, {}}, peer.make_transport(),
                       "tcp://127.0.0.1:1/", std::nullopt, std::move(password));
  }
};

TEST_F(ChallengeSession, TheDialogPasswordComesFirstAndAnEmptyOneCountsAsAbsent) {
  ScopedEnv password("NOLV_PASSWORD", "from-env");
  connect_with_password("from-dialog");
  {
    LogCapture capture;
    dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
    EXPECT_TRUE(any_line_has(capture.take_lines(),
                             "authenticating with the password from the connection dialog"));
  }
  ASSERT_TRUE(peer.next());
  connect_with_password("");
  LogCapture capture;
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
  EXPECT_TRUE(any_line_has(capture.take_lines(), "from NOLV_PASSWORD"));
}

TEST_F(SessionTest, BadChallengesEndWithAuthenticationFailure) {
  struct Case {
    std::vector<Yaml> packet;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{S("challenge"), challenge_salt(), S(""), S("hmac+sha256")},
       "server requested an unsupported challenge digest (hmac+sha256/xor)"},
      {{S("challenge"), challenge_salt(), S(""), I(1), S("hmac+sha256")},
       "server requested an unsupported challenge digest (/hmac+sha256)"},
      {{S("challenge"), S(""), S(""), S("hmac+sha256"), S("hmac+sha256")},
       "authentication challenge has no server salt"},
      {{S("challenge")}, "authentication challenge has no server salt"},
  };
  ScopedEnv password("NOLV_PASSWORD", "secret");
  for (const Case& c : cases) {
    SetUp();
    LogCapture capture;
    dispatch(c.packet);
    EXPECT_TRUE(any_line_has(capture.take_lines(), "ERROR [nolv::client::client] " + c.error))
        << c.error;
    EXPECT_EQ(client->exit_code, ExitCode::Authentication);
    EXPECT_EQ(loop.exit_requests, 1);
    loop.exit_requests = 0;
    EXPECT_TRUE(peer.drain().empty());
  }
}

TEST_F(SessionTest, NoPasswordAndNoPinentryFailsWithoutADialog) {
  ScopedEnv password("NOLV_PASSWORD", ""), path("PATH", "/nonexistent"),
      program("PINENTRY_PROGRAM", nullptr);
  LogCapture capture;
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256"),
            S("pass phrase")});
  EXPECT_TRUE(any_line_has(capture.take_lines(), "cannot show the password dialog: "));
  EXPECT_EQ(client->exit_code, ExitCode::Authentication);
}

class TempDir {
 public:
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir() {
    char name[] = "/tmp/nolv-test-XXXXXX";
    path = ::mkdtemp(name);
  }
  ~TempDir() { fs::remove_all(path); }
  std::string file(const std::string& name, const std::string& text = "#!/bin/sh\n",
                   bool executable = true) const {
    const std::string p = path + "/" + name;
    std::ofstream(p) << text;
    if (executable) ::chmod(p.c_str(), 0755);
    return p;
  }
  std::string path;
};

TEST(PinentrySearch, DirectoriesAreTheOuterLoop) {
  TempDir first, second;
  const std::string mine = first.file("my-pinentry");
  second.file("pinentry.exe");
  const std::string list = first.path + ":" + second.path;
  EXPECT_EQ(find_pinentry("my-pinentry", list), mine);
  EXPECT_EQ(find_pinentry(std::nullopt, list), second.path + "/pinentry.exe");
  const std::string plain = second.file("pinentry");
  EXPECT_EQ(find_pinentry(std::nullopt, list), plain);  // no suffix first
  EXPECT_EQ(find_pinentry("pinentry-mac", std::nullopt), std::nullopt);
  fs::create_directory(first.path + "/pinentry");  // a directory is not a program
  EXPECT_EQ(find_pinentry(std::nullopt, first.path), std::nullopt);
  const std::string mac = first.file("pinentry-mac");
  EXPECT_EQ(find_pinentry(std::nullopt, first.path), mac);
}

TEST(PinentrySearch, AProgramNamedWithASlashIsUsedAsItIs) {
  TempDir chosen, on_path;
  const std::string mine = chosen.file("pinentry-tty");
  const std::string theirs = on_path.file("pinentry");
  const std::string relative = fs::relative(mine, fs::current_path()).string();
  ASSERT_NE(relative.find('/'), std::string::npos);
  struct Case {
    std::optional<std::string> program;
    std::optional<std::string> path_list;
    std::optional<std::string> found;
  };
  const Case cases[] = {
      {mine, on_path.path, mine},                        // not glued onto the directories
      {mine, std::nullopt, mine},                        // needs no PATH
      {relative, on_path.path, relative},                // relative to the current directory
      {chosen.path + "/missing", on_path.path, theirs},  // missing: the usual names
      {chosen.path, on_path.path, theirs},               // a directory is not a program
      {"pinentry-tty", chosen.path + ":" + on_path.path, mine},  // a bare name is searched
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_pinentry(c.program, c.path_list), c.found) << c.program.value_or("");
  }
}

// A session with no password at hand and a pinentry program on PATH that answers every GETPIN
// with "s3cr%t".
class PinentrySession : public SessionTest {
 protected:
  PinentrySession() {
    dir.file("pinentry",
             "#!/bin/sh\necho OK ready\nwhile read cmd; do\n"
             "  case \"$cmd\" in\n"
             "    GETPIN) echo 'D s3cr%25t'; echo OK;;\n"
             "    BYE) echo OK; exit 0;;\n"
             "    *) echo OK;;\n  esac\ndone\n");
  }
  // The first event the pinentry thread posts, waited for up to 5 s.
  std::vector<Packet> pinentry_outcome() {
    std::vector<Packet> events;
    for (int i = 0; i < 500 && events.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      events = sink->take();
    }
    return events;
  }

  TempDir dir;  // outlives the thread's start of the program
  ScopedEnv password{"NOLV_PASSWORD", nullptr};
  ScopedEnv path{"PATH", dir.path.c_str()};
  ScopedEnv tty{"GPG_TTY", nullptr};
};

TEST_F(PinentrySession, PinentryAnswersThroughItsThread) {
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
  // Another salt while the prompt is up is not the one answered.
  dispatch({S("challenge"), S("AQIDBA=="), S(""), S("hmac+sha256"), S("hmac+sha256")});
  std::vector<Packet> events = pinentry_outcome();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].items, (std::vector<Yaml>{S("challenge-password"), S("s3cr%t")}));
  EXPECT_TRUE(client->challenge.awaiting_password());
  client->dispatch_packet(loop, "challenge-password", std::move(events[0]));
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  Bytes server_salt(16);
  for (std::uint8_t i = 0; i < 16; ++i) server_salt[i] = i;
  EXPECT_EQ((*hello)[1]["challenge_response"],
            challenge_answer("s3cr%t", server_salt, (*hello)[1]["challenge_client_salt"]).response);
}

TEST_F(PinentrySession, RepeatedChallengeAndStrayPasswordAreIgnored) {
  dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
  {
    LogCapture capture;
    dispatch({S("challenge"), challenge_salt(), S(""), S("hmac+sha256"), S("hmac+sha256")});
    EXPECT_TRUE(any_line_has(capture.take_lines(), "ignoring repeated challenge"));
  }
  EXPECT_TRUE(client->challenge.awaiting_password());
  dispatch({S("challenge-cancel"), S("")});
  EXPECT_EQ(client->exit_code, ExitCode::Authentication);
  EXPECT_FALSE(client->challenge.awaiting_password());
  // The prompt's answer arrives after the cancellation.
  std::vector<Packet> events = pinentry_outcome();
  ASSERT_EQ(events.size(), 1u);
  LogCapture capture;
  client->dispatch_packet(loop, "challenge-password", std::move(events[0]));
  EXPECT_TRUE(any_line_has(capture.take_lines(), "a password arrived but no challenge is pending"));
  EXPECT_TRUE(peer.drain().empty());
}

}  // namespace
}  // namespace nolv
