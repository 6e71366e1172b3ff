#include "client/auth_dialog.h"

#include <gtest/gtest.h>

#include <set>

#include "client/font.h"
#include "client/paint.h"
#include "fakes/log_capture.h"
#include "fakes/window.h"

namespace nolv {
namespace {

struct Harness {
  std::shared_ptr<FakeWindow> window;
  bool fail_window = false;
  bool fail_surface = false;
  bool fail_resize = false;

  AuthDialog::CreateWindow creator() {
    return [this](const WindowAttributes& attributes) -> Result<std::shared_ptr<Window>> {
      if (fail_window) return fail("no display");
      window = std::make_shared<FakeWindow>(WindowId{7}, attributes);
      window->fail_surface = fail_surface;
      return std::shared_ptr<Window>(window);
    };
  }
  std::unique_ptr<AuthDialog> open(std::string prompt = "Password for alice:") {
    auto created = AuthDialog::create(creator(), std::move(prompt));
    EXPECT_TRUE(created.ok()) << (created.ok() ? "" : created.message());
    return created.ok() ? std::move(*created) : nullptr;
  }
};

KeyboardInput character(std::string text, bool pressed = true) {
  return KeyboardInput{CharacterKey{std::move(text)}, 0, pressed, false, false};
}
KeyboardInput named(NamedKey key) {
  return KeyboardInput{key, 0, true, false, false};
}

// The box interior as it shows `stars` stars, to count what the dialog drew.
std::vector<std::uint32_t> star_row(const std::vector<std::uint32_t>& pixels, std::uint32_t w) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t y = 61; y < 77; ++y) {
    out.insert(out.end(), pixels.begin() + y * w + 13, pixels.begin() + y * w + w - 13);
  }
  return out;
}
std::vector<std::uint32_t> expected_star_row(std::size_t stars, std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint32_t> frame(std::size_t{w} * h, kAuthBackground);
  font::draw_text(frame, w, 20, 61, 1, std::string(stars, '*'), kAuthForeground);
  return star_row(frame, w);
}

TEST(AuthDialog, OpensANonResizableTitledWindowAndPresentsTheFirstFrame) {
  Harness h;
  auto dialog = h.open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(h.window->attributes.title, "Nolv Authentication");
  EXPECT_EQ(h.window->attributes.inner_size, (PhysicalSize{460, 150}));
  EXPECT_FALSE(h.window->attributes.resizable);
  FakeSurface& surface = *h.window->surface;
  EXPECT_EQ(surface.width(), 460u);
  EXPECT_EQ(surface.height(), 150u);
  ASSERT_EQ(surface.presents.size(), 1u);
  EXPECT_FALSE(surface.presents[0].has_value());  // the whole buffer
  EXPECT_EQ(surface.pixels, dialog->pixels);
  EXPECT_TRUE(dialog->password.empty());

  const auto& px = dialog->pixels;
  auto at = [&](std::uint32_t x, std::uint32_t y) { return px[y * 460 + x]; };
  // The box outline: x 12..447, y 56..81.
  EXPECT_EQ(at(12, 56), kAuthForeground);
  EXPECT_EQ(at(447, 81), kAuthForeground);
  EXPECT_EQ(at(448, 56), kAuthBackground);
  EXPECT_EQ(at(13, 57), kAuthBackground);
  // Prompt ink in 16..31 and footer ink in 124..139, each in its colour only.
  auto colours_in_rows = [&](std::uint32_t y0, std::uint32_t y1) {
    std::set<std::uint32_t> seen;
    for (std::uint32_t y = y0; y < y1; ++y) {
      for (std::uint32_t x = 0; x < 460; ++x) seen.insert(at(x, y));
    }
    return seen;
  };
  EXPECT_EQ(colours_in_rows(16, 32), (std::set<std::uint32_t>{kAuthBackground, kAuthForeground}));
  EXPECT_EQ(colours_in_rows(124, 140),
            (std::set<std::uint32_t>{kAuthBackground, kAuthFooterColour}));
  EXPECT_EQ(star_row(px, 460), expected_star_row(0, 460, 150));
}

TEST(AuthDialog, CreationFailuresCarryTheirReason) {
  {
    Harness h;
    h.fail_window = true;
    auto r = AuthDialog::create(h.creator(), "p");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.message(), "failed to create auth dialog window: no display");
  }
  {
    Harness h;
    h.fail_surface = true;
    auto r = AuthDialog::create(h.creator(), "p");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.message(), "failed to create auth dialog surface: no surface");
  }
  {
    // The fake refuses a resize only when told to, after it exists: wrap the surface.
    struct RefusingWindow : FakeWindow {
      using FakeWindow::FakeWindow;
      Result<std::unique_ptr<Surface>> create_surface() override {
        auto s = FakeWindow::create_surface();
        surface->fail_resize = true;
        return s;
      }
    };
    auto create = [](const WindowAttributes& a) -> Result<std::shared_ptr<Window>> {
      return std::shared_ptr<Window>(std::make_shared<RefusingWindow>(WindowId{1}, a));
    };
    auto r = AuthDialog::create(create, "p");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.message(), "failed to size auth dialog surface: resize refused");
  }
}

TEST(AuthDialog, KeysEditThePasswordAndRedraw) {
  struct Step {
    WindowEvent event;
    AuthDialog::Outcome outcome;
    std::string password;
  };
  using O = AuthDialog::Outcome;
  const Step steps[] = {
      {named(NamedKey::Backspace), O::Redrawn, ""},  // empty stays empty
      {character("a"), O::Redrawn, "a"},
      {character("\xc3\xa9"), O::Redrawn, "a\xc3\xa9"},  // é
      {named(NamedKey::Space), O::Redrawn, "a\xc3\xa9 "},
      {named(NamedKey::Tab), O::Redrawn, "a\xc3\xa9 "},
      {character("\t"), O::Redrawn, "a\xc3\xa9 "},
      {character(std::string("x\x01\x7f"
                             "\xc2\x85y",
                             6)),
       O::Redrawn, "a\xc3\xa9 xy"},                         // C0, DEL, C1
      {character("b", false), O::Ignored, "a\xc3\xa9 xy"},  // released
      {KeyboardInput{CharacterKey{"c"}, 0, true, false, true}, O::Ignored, "a\xc3\xa9 xy"},
      {KeyboardInput{CharacterKey{"c"}, 0, true, true, false}, O::Redrawn, "a\xc3\xa9 xyc"},
      {KeyboardInput{CharacterKey{"c"}, 0, true, true, false}, O::Redrawn, "a\xc3\xa9 xycc"},
      {character("\xff"), O::Redrawn, "a\xc3\xa9 xycc"},  // not UTF-8: nothing
      {KeyboardInput{DeadKey{U'^'}, 0, true, false, false}, O::Redrawn, "a\xc3\xa9 xycc"},
      {named(NamedKey::Backspace), O::Redrawn, "a\xc3\xa9 xyc"},
      {named(NamedKey::Backspace), O::Redrawn, "a\xc3\xa9 xy"},
      {named(NamedKey::Backspace), O::Redrawn, "a\xc3\xa9 x"},
      {named(NamedKey::Backspace), O::Redrawn, "a\xc3\xa9 "},
      {named(NamedKey::Backspace), O::Redrawn, "a\xc3\xa9"},
      {named(NamedKey::Backspace), O::Redrawn, "a"},  // the whole two-byte character
      {Focused{true}, O::Ignored, "a"},
      {Resized{{10, 10}}, O::Ignored, "a"},
      {named(NamedKey::Enter), O::Submit, "a"},
      {named(NamedKey::Escape), O::Cancel, "a"},
      {CloseRequested{}, O::Cancel, "a"},
  };
  Harness h;
  auto dialog = h.open();
  ASSERT_NE(dialog, nullptr);
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const std::size_t presents = h.window->surface->presents.size();
    EXPECT_EQ(dialog->apply_event(steps[i].event), steps[i].outcome) << "step " << i;
    EXPECT_EQ(dialog->password, steps[i].password) << "step " << i;
    const bool redrawn = steps[i].outcome == O::Redrawn;
    EXPECT_EQ(h.window->surface->presents.size(), presents + (redrawn ? 1 : 0)) << "step " << i;
  }
}

TEST(AuthDialog, ShowsOneStarPerCharacterNotPerByte) {
  Harness h;
  auto dialog = h.open();
  ASSERT_NE(dialog, nullptr);
  (void)dialog->apply_event(character("\xc3\xa9"));
  EXPECT_EQ(star_row(h.window->surface->pixels, 460), expected_star_row(1, 460, 150));
  (void)dialog->apply_event(character("ab"));
  EXPECT_EQ(star_row(h.window->surface->pixels, 460), expected_star_row(3, 460, 150));
  (void)dialog->apply_event(character("\x01"));  // nothing new, but drawn again
  EXPECT_EQ(star_row(h.window->surface->pixels, 460), expected_star_row(3, 460, 150));
}

TEST(AuthDialog, FollowsTheWindowSizeAfterADpiChange) {
  Harness h;
  auto dialog = h.open();
  ASSERT_NE(dialog, nullptr);
  h.window->size = PhysicalSize{690, 225};
  EXPECT_EQ(dialog->apply_event(RedrawRequested{}), AuthDialog::Outcome::Redrawn);
  EXPECT_EQ(dialog->width, 690u);
  EXPECT_EQ(dialog->height, 225u);
  EXPECT_EQ(dialog->pixels.size(), 690u * 225u);
  FakeSurface& surface = *h.window->surface;
  EXPECT_EQ(surface.width(), 690u);
  EXPECT_EQ(surface.pixels, dialog->pixels);
  // The box is 24 pixels narrower than the window: its right edge is column 677.
  EXPECT_EQ(dialog->pixels[56 * 690 + 677], kAuthForeground);
  EXPECT_EQ(dialog->pixels[56 * 690 + 678], kAuthBackground);
  // Footer at h - 26 = 199: its rows hold the footer colour.
  const auto row = std::span(dialog->pixels).subspan(199 * 690, 690 * 16);
  EXPECT_NE(std::find(row.begin(), row.end(), kAuthFooterColour), row.end());
  // A side of 0 counts as 1; the narrow window gets no box and nothing is written outside.
  h.window->size = PhysicalSize{0, 0};
  dialog->redraw();
  EXPECT_EQ(dialog->pixels, std::vector<std::uint32_t>{kAuthBackground});
}

TEST(AuthDialog, DrawingFailuresAreLoggedAndTheDialogStays) {
  Harness h;
  auto dialog = h.open();
  ASSERT_NE(dialog, nullptr);
  FakeSurface& surface = *h.window->surface;
  {
    LogCapture capture;
    surface.fail_buffer = true;
    dialog->redraw();
    surface.fail_buffer = false;
    surface.fail_present = true;
    dialog->redraw();
    surface.fail_present = false;
    const auto lines = capture.take_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ERROR [nolv::client::auth_dialog] failed to get auth dialog buffer: "
                            "no buffer"),
              std::string::npos);
    EXPECT_NE(lines[1].find("ERROR [nolv::client::auth_dialog] failed to present auth dialog: "
                            "present refused"),
              std::string::npos);
  }
  // A buffer of another size is left alone and nothing is presented.
  const std::size_t presents = surface.presents.size();
  surface.buffer_size_override = PhysicalSize{10, 10};
  std::fill(surface.pixels.begin(), surface.pixels.end(), 0x123456);
  dialog->redraw();
  EXPECT_EQ(surface.presents.size(), presents);
  EXPECT_EQ(surface.pixels[0], 0x123456u);
}

}  // namespace
}  // namespace nolv
