#include <gtest/gtest.h>

#include "fakes/window.h"
#include "platform/window.h"

namespace nolv {
namespace {

TEST(WindowEvent, DebugForms) {
  struct Case {
    WindowEvent event;
    std::string text;
  };
  const std::vector<Case> cases = {
      {Resized{{640, 480}}, "Resized(640x480)"},
      {Moved{{-5, 7}}, "Moved(-5, 7)"},
      {Focused{true}, "Focused(true)"},
      {KeyboardInput{CharacterKey{"é"}, 0x12, true, false, false},
       "KeyboardInput { logical_key: Character(\"é\"), scancode: 0x12, pressed: true, repeat: "
       "false, synthetic: false }"},
      {KeyboardInput{DeadKey{U'^'}, 0x1a, false, true, false},
       "KeyboardInput { logical_key: Dead(Some(U+005E)), scancode: 0x1a, pressed: false, repeat: "
       "true, synthetic: false }"},
      {KeyboardInput{NamedKey::PageDown, 0xe051, true, false, true},
       "KeyboardInput { logical_key: Named(PageDown), scancode: 0xe051, pressed: true, repeat: "
       "false, synthetic: true }"},
      {MouseInput{{MouseButtonKind::Other, 12}, true}, "MouseInput(Other(12), pressed: true)"},
      {MouseInput{{MouseButtonKind::Back, 0}, false}, "MouseInput(Back, pressed: false)"},
      {MouseWheel{LineDelta{0.5F, -2.0F}}, "MouseWheel(LineDelta(0.5, -2))"},
      {ScaleFactorChanged{1.5}, "ScaleFactorChanged(1.5)"},
      {OtherWindowEvent{"CursorLeft"}, "CursorLeft"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_string(c.event), c.text);
}

TEST(FakeSurface, HandsOutScriptedAgesThenTheDefault) {
  FakeSurface s;
  ASSERT_TRUE(s.resize(3, 2).ok());
  s.ages = {0, 2};
  auto a = s.buffer();
  auto b = s.buffer();
  auto c = s.buffer();
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  EXPECT_EQ(a->age, 0);
  EXPECT_EQ(b->age, 2);
  EXPECT_EQ(c->age, 1);
  EXPECT_EQ(c->pixels.size(), 6U);
}

}  // namespace
}  // namespace nolv
