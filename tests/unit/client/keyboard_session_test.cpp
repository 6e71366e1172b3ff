// The keyboard and bell handlers of a Client: what reaches the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "fakes/bell.h"
#include "fakes/log_capture.h"
#include "session_fixture.h"

namespace nolv {
namespace {

using Json = nlohmann::json;

class KeyboardSessionTest : public SessionTest {
 protected:
  // The server's hello that gives the session `map` (keysym to modifier name).
  void server_modifiers(const ModifierMap& map) {
    std::map<std::string, std::vector<Yaml>> keysyms;
    for (const auto& [keysym, modifier] : map) keysyms[modifier].push_back(S(keysym));
    std::vector<std::pair<std::string, Yaml>> names;
    for (auto& [modifier, list] : keysyms) names.emplace_back(modifier, A(std::move(list)));
    dispatch({S("hello"), H({{"modifiers-keynames", H(std::move(names))}})});
  }
};

TEST_F(KeyboardSessionTest, KeysCarryTheLastModifierState) {
  client->handle_modifiers_changed({kModifierShift | kModifierAlt});
  EXPECT_TRUE(peer.drain().empty());  // a modifiers change alone sends nothing
  client->handle_keyboard_input(5, KeyboardInput{CharacterKey{"A"}, 0x1E, true, false, false});
  EXPECT_EQ(peer.next(), Json::parse(R"(["keyboard-event",5,"A",true,{"group":0,"keycode":30,
      "keyval":65,"modifiers":["shift","mod1"],"string":"A"}])"));

  server_modifiers({{"Meta_L", "mod3"}, {"Super_R", "mod5"}});
  client->handle_modifiers_changed({kModifierAlt | kModifierSuper | kModifierControl});
  client->handle_keyboard_input(5, KeyboardInput{NamedKey::Enter, 0x1C, false, false, false});
  EXPECT_EQ(peer.next(), Json::parse(R"(["keyboard-event",5,"Return",false,{"group":0,
      "keycode":28,"keyval":0,"modifiers":["control","mod3","mod5"],"string":""}])"));

  client->handle_modifiers_changed({0});
  client->handle_keyboard_input(9, KeyboardInput{NamedKey::F5, 0x3F, true, false, false});
  EXPECT_EQ(peer.next(), Json::parse(R"(["keyboard-event",9,"F5",true,{"group":0,"keycode":63,
      "keyval":0,"modifiers":[],"string":""}])"));
}

TEST_F(KeyboardSessionTest, RepeatsSyntheticKeysAndEmptyNamesAreSentToo) {
  client->handle_keyboard_input(1, KeyboardInput{CharacterKey{"a"}, 0x1E, true, true, false});
  client->handle_keyboard_input(1, KeyboardInput{NamedKey::Meta, 0, true, false, true});
  client->handle_keyboard_input(1, KeyboardInput{UnidentifiedKey{}, 0, false, false, false});
  client->handle_keyboard_input(1, KeyboardInput{DeadKey{U'\u00B4'}, 0x0D, true, false, false});
  const auto sent = peer.drain();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0][2], "a");
  EXPECT_EQ(sent[1][2], "");
  EXPECT_EQ(sent[2][2], "");
  EXPECT_EQ(sent[2][3], false);
  EXPECT_EQ(sent[3][2], "dead_acute");
  EXPECT_EQ(sent[3][4]["keycode"], 0x0D);
}

// The window event path and the keyboard handler are one path: one packet per key, the same
// packet, and the window is not looked up (no window 7 exists here).
TEST_F(KeyboardSessionTest, WindowEventsSendTheKeyboardHandlersPacket) {
  const KeyboardInput keys[] = {
      {CharacterKey{"a"}, 0x1E, true, false, false},
      {CharacterKey{"\xE2\x82\xAC"}, 0x12, true, true, false},
      {NamedKey::Enter, 0x1C, false, false, false},
      {NamedKey::F5, 0x3F, true, false, true},
      {DeadKey{U'^'}, 0x1A, true, false, false},
      {UnidentifiedKey{}, 0, true, false, false},
  };
  const std::uint32_t states[] = {0, kModifierShift, kModifierControl | kModifierAlt,
                                  kModifierShift | kModifierSuper};
  server_modifiers({{"Alt_R", "mod3"}});
  for (const std::uint32_t state : states) {
    WindowEvent modifiers = ModifiersChanged{state};
    client->handle_window_event(7, modifiers);
    EXPECT_EQ(client->keyboard.modifier_state(), state);
    EXPECT_TRUE(peer.drain().empty());
    for (const KeyboardInput& key : keys) {
      WindowEvent event = key;
      client->handle_window_event(7, event);
      const auto by_event = peer.drain();
      client->handle_keyboard_input(7, key);
      const auto by_handler = peer.drain();
      ASSERT_EQ(by_event.size(), 1u);
      ASSERT_EQ(by_handler.size(), 1u);
      EXPECT_EQ(by_event[0], by_handler[0]);
    }
  }
  WindowEvent shifted_a = KeyboardInput{CharacterKey{"A"}, 0x1E, true, false, false};
  client->handle_window_event(7, shifted_a);
  EXPECT_EQ(peer.next(), Json::parse(R"(["keyboard-event",7,"A",true,{"group":0,"keycode":30,
      "keyval":65,"modifiers":["shift","mod4"],"string":"A"}])"));
}

TEST_F(KeyboardSessionTest, ModifierForKeysymsReadsTheServersMap) {
  EXPECT_EQ(modifier_for_keysyms(client->keyboard.modifier_map(), {"Alt_L", "Meta_L"}, "mod1"),
            "mod1");
  server_modifiers({{"Meta_L", "mod2"}, {"Alt_R", "mod7"}});
  EXPECT_EQ(modifier_for_keysyms(client->keyboard.modifier_map(),
                                 {"Alt_L", "Alt_R", "Meta_L", "Meta_R"}, "mod1"),
            "mod7");
  EXPECT_EQ(modifier_for_keysyms(client->keyboard.modifier_map(), {"Meta_L", "Alt_R"}, "mod1"),
            "mod2");
}

TEST_F(KeyboardSessionTest, BellsRingOnTheirOwnThreadWithTheRules) {
  auto bell = std::make_shared<RecordingBell>();
  client->bell = bell;
  dispatch({S("bell"), I(0), I(0), I(0), I(36), I(0)});
  ASSERT_EQ(bell->wait_for_beeps(1).size(), 1u);
  dispatch({S("window-bell"), I(3), I(0), I(0), I(37), I(-5)});
  ASSERT_EQ(bell->wait_for_beeps(2).size(), 2u);
  dispatch({S("bell"), I(0), I(0), I(0), I(440), I(9000)});
  const auto tones = bell->wait_for_beeps(3);
  ASSERT_EQ(tones.size(), 3u);
  EXPECT_EQ(tones[0], (RecordingBell::Tone{800, 100}));
  EXPECT_EQ(tones[1], (RecordingBell::Tone{37, 100}));
  EXPECT_EQ(tones[2], (RecordingBell::Tone{440, 5000}));
  // Items missing or of another type read as 0.
  dispatch({S("bell"), I(0), S("x")});
  EXPECT_EQ(bell->wait_for_beeps(4).back(), (RecordingBell::Tone{800, 100}));
  EXPECT_TRUE(peer.drain().empty());
}

// A bell whose tones last until the test lets them end.
class HeldBell : public Bell {
 public:
  Status beep(std::uint32_t, std::uint32_t) override {
    std::unique_lock lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return {};
  }
  // The number of tones started once `count` have, or after `timeout`.
  int wait_started(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return started_ >= count; });
    return started_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  bool released_ = false;
};

TEST_F(KeyboardSessionTest, OnlyAFewBellsRingAtOnceAndTheRestAreDropped) {
  auto bell = std::make_shared<HeldBell>();
  client->bell = bell;
  LogCapture capture;
  for (int i = 0; i < 50; ++i) dispatch({S("bell"), I(0), I(0), I(0), I(440), I(100)});
  // The four ringing bells hold their threads; a fifth would show up within the wait.
  EXPECT_EQ(bell->wait_started(5, std::chrono::milliseconds(500)), 4);
  const auto lines = capture.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find(
                                       "DEBUG [nolv::client::client] dropping a bell: 4 are "
                                       "already ringing") != std::string::npos;
                          }),
            46);
  bell->release();
  // Once they have ended, bells ring again.
  for (int tries = 0; tries < 500 && client->bells_ringing->load() != 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  dispatch({S("bell"), I(0), I(0), I(0), I(440), I(100)});
  EXPECT_EQ(bell->wait_started(5, std::chrono::seconds(5)), 5);
}

TEST_F(KeyboardSessionTest, AFailingBellIsIgnored) {
  auto bell = std::make_shared<RecordingBell>(true);
  client->bell = bell;
  dispatch({S("bell"), I(0), I(0), I(0), I(1000), I(50)});
  EXPECT_EQ(bell->wait_for_beeps(1).size(), 1u);
  dispatch({S("bell"), I(0), I(0), I(0), I(1000), I(60)});
  EXPECT_EQ(bell->wait_for_beeps(2).size(), 2u);
}

}  // namespace
}  // namespace nolv
