#include <gtest/gtest.h>

#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using Json = nlohmann::json;

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

bool is_lower_hex(const std::string& text, std::size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

TEST_F(SessionTest, HelloHoldsExactlyTheAlwaysPresentKeys) {
  ScopedEnv user("USER", "alice"), username("USERNAME", nullptr), host("HOSTNAME", "box");
  client->send_hello(std::nullopt);
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  ASSERT_EQ(hello->size(), 2u);
  EXPECT_EQ((*hello)[0], "hello");
  const Json& caps = (*hello)[1];
  std::vector<std::string> expected = {"bell",
                                       "chunks",
                                       "client_type",
                                       "clipboard",
                                       "compression_level",
                                       "compressors",
                                       "cursor",
                                       "digest",
                                       "display",
                                       "encoders",
                                       "encoding",
                                       "events",
                                       "hostname",
                                       "keyboard",
                                       "metadata",
                                       "notification",
                                       "notifications",
                                       "ping",
                                       "platform",
                                       "pointer",
                                       "protocol-version",
                                       "salt-digest",
                                       "sharing",
                                       "user",
                                       "username",
                                       "version",
                                       "window"};
  if (!machine_identifier().empty()) expected.push_back("uuid");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(keys_of(caps), expected);
  EXPECT_EQ(caps["client_type"], "kelp");
  EXPECT_EQ(caps["platform"], "win32");
  EXPECT_EQ(caps["version"], "0.4.0");
  EXPECT_EQ(caps["hostname"], "box");
  EXPECT_EQ(caps["user"], "alice");
  EXPECT_EQ(caps["username"], "alice");
  EXPECT_EQ(caps["protocol-version"], Json::parse("[7,0]"));
  EXPECT_EQ(caps["compressors"], Json::parse(R"(["lz4"])"));
  EXPECT_EQ(caps["encoders"], Json::parse(R"(["yaml"])"));
  EXPECT_EQ(caps["digest"], Json::parse(R"(["hmac+sha256"])"));
  EXPECT_EQ(caps["salt-digest"], Json::parse(R"(["hmac+sha256"])"));
  EXPECT_EQ(caps["compression_level"], 1);
  EXPECT_EQ(caps["clipboard"], Json::parse(R"({"enabled":true,"greedy":true,
      "preferred-targets":["UTF8_STRING","STRING","text/plain"],"selections":["CLIPBOARD"],
      "want_targets":true})"));
  EXPECT_EQ(caps["cursor"], Json::parse(R"({"backwards-compatible":false,"encodings":["png"]})"));
  EXPECT_EQ(caps["encoding"], Json::parse(R"({"core":["jpeg","png","webp","h264"],
      "full_csc_modes":{"h264":["YUV420P"]},"h264":{"YUV420P.profile":"high"},
      "options":["jpeg","png","webp","h264"],"window-icon":["png"]})"));
  EXPECT_EQ(caps["display"],
            Json::parse(R"({"monitor-relative":true,"resize-events":false,"show-desktop":true})"));
  EXPECT_EQ(caps["metadata"]["supported"].size(), 23u);
  EXPECT_EQ(caps["metadata"]["supported"][0], "title");
  EXPECT_EQ(caps["metadata"]["supported"][22], "override-redirect");
  EXPECT_EQ(caps["window"], Json::parse(R"({"enabled":true,"grabs":true})"));
  EXPECT_EQ(caps["pointer"], Json::parse(R"({"enabled":true})"));
  EXPECT_EQ(caps["notifications"], Json::parse(R"({"enabled":true})"));
  for (const char* key :
       {"bell", "chunks", "events", "keyboard", "notification", "ping", "sharing"}) {
    EXPECT_EQ(caps[key], true) << key;
  }
  // Keys in byte order on the wire.
  EXPECT_LT(peer.last_text.find("\"bell\""), peer.last_text.find("\"chunks\""));
  EXPECT_LT(peer.last_text.find("\"user\""), peer.last_text.find("\"username\""));
}

TEST_F(SessionTest, HelloWithAnswerMonitorsDesktopSizeAndKeymap) {
  ScopedEnv username("USERNAME", "bob");
  client->username = "dialog-user";
  client->keyboard.use_layout("fr");
  client->desktop_size = std::pair(3000u, 1080u);
  client->monitors = {MonitorInfo{"DP-1", 59940, 0, 0, 1920, 1080, true},
                      MonitorInfo{"", std::nullopt, 1920, -10, 1080, 720, false}};
  client->send_hello(ChallengeAnswer{std::string(64, 'a'), std::string(64, 'b')});
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  const Json& caps = (*hello)[1];
  EXPECT_EQ(caps["challenge_response"], std::string(64, 'a'));
  EXPECT_EQ(caps["challenge_client_salt"], std::string(64, 'b'));
  EXPECT_TRUE(is_lower_hex(caps["challenge_padding"].get<std::string>(), 128));
  EXPECT_EQ(caps["keymap"], Json::parse(R"({"delay":true})"));
  EXPECT_EQ(caps["username"], "dialog-user");
  EXPECT_EQ(caps["display"], Json::parse(R"({"desktop_size":[3000,1080],"monitor-relative":true,
      "monitors":{"0":{"geometry":[0,0,1920,1080],"name":"DP-1","primary":true,
      "refresh-rate":59940},"1":{"geometry":[1920,-10,1080,720],"primary":false}},
      "resize-events":false,"show-desktop":true})"));
  client->send_hello(ChallengeAnswer{std::string(64, 'a'), std::string(64, 'b')});
  const auto again = peer.next();
  ASSERT_TRUE(again);
  EXPECT_NE((*again)[1]["challenge_padding"], caps["challenge_padding"]);
}

TEST_F(SessionTest, UsernameFallsBackToUsernameThenUser) {
  ScopedEnv username("USERNAME", "win-name"), user("USER", "posix-name");
  EXPECT_EQ(hello_capabilities(*client, std::nullopt)["username"], "win-name");
  ScopedEnv no_username("USERNAME", nullptr);
  EXPECT_EQ(hello_capabilities(*client, std::nullopt)["username"], "posix-name");
  ScopedEnv no_user("USER", nullptr);
  EXPECT_EQ(hello_capabilities(*client, std::nullopt)["username"], "");
  EXPECT_EQ(hello_capabilities(*client, std::nullopt)["user"], "");
}

TEST_F(SessionTest, ServerHelloReadsModifiersVersionPingAndLogging) {
  client->keyboard.use_layout("de");
  const Yaml caps = Yaml::hash({
      {S("modifiers-keynames"),
       Yaml::hash({{S("mod1"), Yaml::array({S("Alt_L"), S("Meta_L")})},
                   {S("shift"), Yaml::array({Yaml::array({I(50), S("Shift_L")}), I(7)})},
                   {I(3), Yaml::array({S("Ignored")})}})},
      {S("version"), S("6.1")},
      {S("ping"), I(1)},
      {S("remote-logging"), Yaml::hash({{S("receive"), Yaml::boolean(true)}})},
  });
  LogCapture capture;
  dispatch({S("hello"), caps});
  const auto lines = capture.take_lines();
  EXPECT_EQ(client->keyboard.modifier_map(),
            (ModifierMap{{"Alt_L", "mod1"}, {"Meta_L", "mod1"}, {"Shift_L", "shift"}}));
  EXPECT_EQ(client->server_version, "6.1");
  EXPECT_TRUE(client->server_ping);
  EXPECT_TRUE(slot->copy().has_value());
  EXPECT_TRUE(any_line_has(lines, "server version 6.1"));
  EXPECT_TRUE(any_line_has(lines, "remote logging enabled"));
  EXPECT_TRUE(any_line_has(lines, "keyboard layout: de"));
  EXPECT_EQ(peer.next(), Json::parse(R"(["keyboard-config",{"force":true,"layout":"de"}])"));
}

TEST_F(SessionTest, ServerHelloFallsBackToModifierKeycodesAndReadsPingStrictly) {
  const Yaml caps = Yaml::hash({
      {S("modifiers-keynames"), Yaml::hash({})},
      {S("modifier_keycodes"), Yaml::hash({{S("control"), Yaml::array({S("Control_L")})}})},
      {S("ping"), S("yes")},
      {S("remote-logging"), Yaml::hash({{S("receive"), Yaml::boolean(false)}})},
  });
  dispatch({S("hello"), caps});
  EXPECT_EQ(client->keyboard.modifier_map(), (ModifierMap{{"Control_L", "control"}}));
  EXPECT_FALSE(client->server_ping);
  EXPECT_FALSE(slot->copy().has_value());
  EXPECT_TRUE(peer.drain().empty());  // no keyboard layout known: no keyboard-config
}

TEST_F(SessionTest, ServerHelloThatIsNotAMapIsAnErrorAndEmptiesTheModifiers) {
  dispatch({S("hello"), H({{"modifiers-keynames", H({{"mod1", A({S("Alt_L")})}})}})});
  client->server_ping = true;
  LogCapture capture;
  dispatch({S("hello"), Yaml::array({S("x")})});
  EXPECT_TRUE(any_line_has(capture.take_lines(),
                           "ERROR [nolv::client::client] unexpected hello data type: "
                           "Array([String(\"x\")])"));
  EXPECT_TRUE(client->keyboard.modifier_map().empty());
  EXPECT_TRUE(client->server_ping);
  EXPECT_EQ(client->exit_code, std::nullopt);
}

}  // namespace
}  // namespace nolv
