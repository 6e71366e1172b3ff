#include "net/uri.h"

#include <gtest/gtest.h>

namespace nolv {
namespace {

using K = TargetKind;
const std::optional<std::string> kNoUser;

TEST(ParseUri, Targets) {
  struct Case {
    std::string_view text;
    Target expected;
  } cases[] = {
      {"localhost:10000", {"localhost:10000", "", kNoUser, K::Tcp}},
      {"", {"", "", kNoUser, K::Tcp}},
      {"tcp://host", {"host", "", kNoUser, K::Tcp}},
      {"ws://host:10000/a/b?x=1", {"host:10000", "/a/b?x=1", kNoUser, K::Ws}},
      {"ws://host:10000", {"host:10000", "", kNoUser, K::Ws}},
      {"ws://host:10000/", {"host:10000", "/", kNoUser, K::Ws}},
      {"SSL://h:1", {"h:1", "", kNoUser, K::Ssl}},
      {"WsS://h:1/p", {"h:1", "/p", kNoUser, K::Wss}},
      {"tcp://u@h:1", {"u@h:1", "", kNoUser, K::Tcp}},
      {"ssh://u@h", {"h:22", "", std::string("u"), K::Ssh}},
      {"ssh://a@b@h", {"b@h:22", "", std::string("a"), K::Ssh}},
      {"ssh://@h:2222/7", {"h:2222", "7", std::string(""), K::Ssh}},
      {"ssh://[::1]/", {"[::1]", "", kNoUser, K::Ssh}},
      {"Ssh://box//:7", {"box:22", ":7", kNoUser, K::Ssh}},
      {"ssh://box:", {"box:", "", kNoUser, K::Ssh}},
      {"socket:///run/s", {"/run/s", "", kNoUser, K::Socket}},
      {"/tmp/s", {"/tmp/s", "", kNoUser, K::Socket}},
  };
  for (const auto& c : cases) {
    auto t = parse_uri(c.text);
    ASSERT_TRUE(t.ok()) << c.text << ": " << t.message();
    EXPECT_EQ(*t, c.expected) << c.text;
  }
}

TEST(ParseUri, Errors) {
  struct Case {
    std::string_view text, message;
  } cases[] = {
      {"socket://", "missing absolute socket path in socket://"},
      {"socket://run", "socket path must be absolute in socket://run"},
      {"ws:///x", "missing host:port in ws:///x"},
      {"tcp://", "missing host:port in tcp://"},
      {"udp://h:1",
       "unsupported protocol udp: only 'tcp', 'ssl', 'ws', 'wss', 'ssh' and 'socket' are "
       "supported"},
      {" tcp://h:1",  // nothing is trimmed
       "unsupported protocol  tcp: only 'tcp', 'ssl', 'ws', 'wss', 'ssh' and 'socket' are "
       "supported"},
      {"://h",
       "unsupported protocol : only 'tcp', 'ssl', 'ws', 'wss', 'ssh' and 'socket' are supported"},
  };
  for (const auto& c : cases) {
    auto t = parse_uri(c.text);
    ASSERT_FALSE(t.ok()) << c.text;
    EXPECT_EQ(t.message(), c.message);
  }
}

}  // namespace
}  // namespace nolv
