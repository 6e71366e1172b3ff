// The Client's "cursor-data", "cursor-default" and "window-icon" handlers over fake windows.
#include <gtest/gtest.h>

#include "client/cursor.h"
#include "fakes/png.h"
#include "net/base64.h"
#include "session_fixture.h"

namespace nolv {
namespace {

// How the image bytes travel: as a raw chunk of the item's index, or as base64 text.
enum class Carried { Chunk, Base64 };

class CursorSession : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    client->resumed = true;
  }
  // The cursor the session shows in every window; none while the default arrow is shown.
  const std::shared_ptr<const CustomCursor>& cursor() const {
    return client->cursors_and_icons.current();
  }
  FakeWindow& create(std::int64_t wid) {
    dispatch({S("new-window"), I(wid), I(0), I(0), I(10), I(10), H()});
    return *loop.windows.back();
  }
  // A packet whose item `index` holds `bytes` the way `carried` says; the items before it are
  // `items`.
  void dispatch_with_image(std::vector<Yaml> items, std::uint8_t index, const Bytes& bytes,
                           Carried carried) {
    Packet p = packet_of(std::move(items));
    while (p.items.size() < index) p.items.push_back(I(0));
    if (carried == Carried::Chunk) {
      p.items.push_back(S(""));
      p.chunks[index] = bytes;
    } else {
      p.items.push_back(S(base64_encode(bytes)));
    }
    const std::string name = *p.items[0].as_string();
    client->dispatch_packet(loop, name, std::move(p));
  }
  // ["cursor-data", encoding, w, h, hotspot x, hotspot y, serial, image]
  void cursor_data(const std::string& encoding, std::uint32_t hx, std::uint32_t hy,
                   const Bytes& png, Carried carried = Carried::Chunk) {
    dispatch_with_image({S("cursor-data"), S(encoding), I(0), I(0), I(hx), I(hy), I(0)}, 7, png,
                        carried);
  }
  // ["window-icon", wid, w, h, encoding, image]
  void window_icon(std::int64_t wid, const std::string& encoding, const Bytes& png,
                   Carried carried = Carried::Chunk) {
    dispatch_with_image({S("window-icon"), I(wid), I(0), I(0), S(encoding)}, 5, png, carried);
  }
};

Bytes coordinate_png(std::uint32_t w, std::uint32_t h) {
  return encode_png(w, h, coordinate_pixels(w, h));
}

// The source coordinates of pixel (x, y) of a cursor built from a coordinate image.
std::pair<int, int> source_of(const CustomCursor& c, std::uint32_t x, std::uint32_t y) {
  const std::size_t at = (std::size_t{y} * c.width + x) * 4;
  return {c.rgba.at(at), c.rgba.at(at + 1)};
}

struct CursorCase {
  const char* what;
  double scale;
  std::uint32_t w, h, hx, hy;
  Carried carried;
  std::uint32_t out_w, out_h, out_hx, out_hy;
};

TEST_F(CursorSession, CursorDataScalesAndReachesEveryWindow) {
  const CursorCase cases[] = {
      {"scale 1 keeps the image", 1.0, 4, 3, 2, 1, Carried::Chunk, 4, 3, 2, 1},
      {"scale 1, base64", 1.0, 4, 3, 0, 2, Carried::Base64, 4, 3, 0, 2},
      {"scale 1.5", 1.5, 32, 32, 31, 31, Carried::Chunk, 48, 48, 46, 46},
      {"scale 1.5, hotspot truncated", 1.5, 3, 3, 1, 1, Carried::Base64, 5, 5, 1, 1},
      {"scale 2", 2.0, 32, 32, 31, 31, Carried::Chunk, 64, 64, 62, 62},
      {"hotspot beyond the image", 1.0, 4, 3, 100, 7, Carried::Chunk, 4, 3, 3, 2},
      {"hotspot beyond, scaled", 2.0, 4, 3, 9, 1, Carried::Chunk, 8, 6, 7, 2},
  };
  FakeWindow& a = create(1);
  FakeWindow& b = create(2);
  for (const CursorCase& c : cases) {
    SCOPED_TRACE(c.what);
    client->scale = c.scale;
    cursor_data("png", c.hx, c.hy, coordinate_png(c.w, c.h), c.carried);
    ASSERT_TRUE(cursor());
    const CustomCursor& made = *cursor();
    EXPECT_EQ(made.width, c.out_w);
    EXPECT_EQ(made.height, c.out_h);
    EXPECT_EQ(made.hotspot_x, c.out_hx);
    EXPECT_EQ(made.hotspot_y, c.out_hy);
    ASSERT_EQ(made.rgba.size(), std::size_t{c.out_w} * c.out_h * 4);
    // Nearest neighbour: the last output pixel comes from the last source pixel.
    EXPECT_EQ(source_of(made, 0, 0), std::pair(0, 0));
    EXPECT_EQ(source_of(made, c.out_w - 1, c.out_h - 1),
              std::pair(static_cast<int>(c.w - 1), static_cast<int>(c.h - 1)));
    EXPECT_EQ(a.cursor, cursor());
    EXPECT_EQ(b.cursor, cursor());
  }
  EXPECT_TRUE(peer.drain().size() == 2);  // the two window-maps, nothing for the cursors
}

TEST_F(CursorSession, ScaledPixelsFollowTheIndexTables) {
  client->scale = 2.0;
  cursor_data("png", 0, 0, coordinate_png(2, 2));
  ASSERT_TRUE(cursor());
  EXPECT_EQ(source_of(*cursor(), 1, 1), std::pair(0, 0));
  EXPECT_EQ(source_of(*cursor(), 2, 1), std::pair(1, 0));
  EXPECT_EQ(source_of(*cursor(), 1, 3), std::pair(0, 1));
}

TEST_F(CursorSession, WindowsCreatedLaterShowTheCursorAtOnce) {
  cursor_data("png", 1, 1, coordinate_png(4, 4));
  ASSERT_TRUE(cursor());
  FakeWindow& later = create(3);
  EXPECT_EQ(later.cursor, cursor());
  EXPECT_NE(std::find(later.ops.begin(), later.ops.end(), "custom_cursor"), later.ops.end());
}

TEST_F(CursorSession, EmptyEncodingAndCursorDefaultRestoreTheArrow) {
  for (const bool by_default_packet : {false, true}) {
    SCOPED_TRACE(by_default_packet ? "cursor-default" : "empty encoding");
    FakeWindow& w = create(by_default_packet ? 2 : 1);
    cursor_data("png", 0, 0, coordinate_png(4, 4));
    ASSERT_TRUE(cursor());
    ASSERT_TRUE(w.cursor);
    if (by_default_packet) {
      dispatch({S("cursor-default")});
    } else {
      dispatch({S("cursor-data"), S("")});
    }
    EXPECT_FALSE(cursor());
    for (const auto& window : loop.windows) {
      EXPECT_FALSE(window->cursor);
      EXPECT_EQ(window->ops.back(), "default_cursor");
    }
  }
  // Without any cursor or window, both are harmless.
  client->windows.clear();
  dispatch({S("cursor-default")});
  EXPECT_FALSE(cursor());
}

TEST_F(CursorSession, AnEncodingThatIsNotAStringResetsToo) {
  FakeWindow& w = create(1);
  cursor_data("png", 0, 0, coordinate_png(4, 4));
  ASSERT_TRUE(w.cursor);
  dispatch({S("cursor-data"), I(5), I(0), I(0), I(0), I(0), I(0), S("")});
  EXPECT_FALSE(cursor());  // an Integer reads as the empty encoding
  EXPECT_FALSE(w.cursor);
}

struct RefusalCase {
  const char* what;
  std::string encoding;
  double scale;
  Bytes png;
  Carried carried;
  std::string line;  // the debug line's message
};

TEST_F(CursorSession, RefusedCursorsLeaveThePreviousOne) {
  Bytes cut = coordinate_png(16, 16);
  cut.resize(cut.size() - 30);
  const Bytes huge(std::size_t{2049} * 1 * 4, 0x7F);
  const RefusalCase cases[] = {
      {"unsupported encoding", "rgb24", 1.0, coordinate_png(4, 4), Carried::Chunk,
       "ignoring cursor with unsupported encoding \"rgb24\""},
      {"not a png", "png", 1.0, Bytes(40, 'x'), Carried::Chunk,
       fmt::format("failed to decode cursor: invalid png header: {}",
                   static_cast<int>(SPNG_ESIGNATURE))},
      {"no image at all", "png", 1.0, Bytes{}, Carried::Base64,
       "failed to decode cursor: invalid png"},  // libspng stops at the buffer or the header
      {"cut short", "png", 1.0, cut, Carried::Chunk,
       "failed to decode cursor: png decode failed: "},
      {"2049 wide", "png", 1.0, encode_png(2049, 1, huge), Carried::Chunk,
       "invalid cursor image 2049x1: "},
      {"grows beyond 2048", "png", 2.0, encode_png(1100, 1100, Bytes(1100 * 1100 * 4, 0)),
       Carried::Chunk, "invalid cursor image 2200x2200: "},
  };
  FakeWindow& w = create(1);
  client->scale = 1.0;
  cursor_data("png", 0, 0, coordinate_png(4, 4));
  const auto previous = cursor();
  ASSERT_TRUE(previous);
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.png.empty() && c.carried == Carried::Chunk);
    client->scale = c.scale;
    LogCapture log;
    cursor_data(c.encoding, 0, 0, c.png, c.carried);
    const auto lines = log.take_lines();
    ASSERT_EQ(lines.size(), 1u) << (lines.empty() ? "" : lines[0]);
    EXPECT_NE(lines[0].find("DEBUG [nolv::client::client] " + c.line), std::string::npos)
        << lines[0];
    EXPECT_EQ(cursor(), previous);
    EXPECT_EQ(w.cursor, previous);
  }
}

TEST_F(CursorSession, BadBase64IsNoImage) {
  LogCapture log;
  dispatch({S("cursor-data"), S("png"), I(0), I(0), I(0), I(0), I(0), S("not base64!")});
  const auto lines = log.take_lines();
  EXPECT_TRUE(any_line_has(lines, "failed to decode cursor: invalid png")) << lines.size();
  EXPECT_FALSE(cursor());
}

TEST_F(CursorSession, TheLargestCursorIsAccepted) {
  FakeWindow& w = create(1);
  cursor_data("png", 5000, 2047, encode_png(2048, 2048, Bytes(std::size_t{2048} * 2048 * 4, 9)));
  ASSERT_TRUE(cursor());
  EXPECT_EQ(cursor()->width, 2048u);
  EXPECT_EQ(cursor()->height, 2048u);
  EXPECT_EQ(cursor()->hotspot_x, 2047u);
  EXPECT_EQ(cursor()->hotspot_y, 2047u);
  EXPECT_EQ(w.cursor, cursor());
}

TEST_F(CursorSession, WindowIconGoesToItsWindowUnscaled) {
  client->scale = 2.0;
  FakeWindow& a = create(1);
  FakeWindow& b = create(2);
  const auto pixels = coordinate_pixels(5, 3);
  window_icon(2, "png", encode_png(5, 3, pixels));
  EXPECT_FALSE(a.icon);
  ASSERT_TRUE(b.icon);
  EXPECT_EQ(b.icon->width, 5u);
  EXPECT_EQ(b.icon->height, 3u);
  EXPECT_EQ(b.icon->rgba, pixels);
  // Base64 text works as well as a raw chunk, and a later icon replaces the earlier one.
  const std::vector<std::uint8_t> rgb = {1, 2, 3, 4, 5, 6};
  window_icon(2, "png", encode_png(2, 1, rgb, false), Carried::Base64);
  ASSERT_TRUE(b.icon);
  EXPECT_EQ(b.icon->rgba, (std::vector<std::uint8_t>{1, 2, 3, 255, 4, 5, 6, 255}));
  window_icon(1, "png", encode_png(1, 1, {9, 9, 9, 9}));
  ASSERT_TRUE(a.icon);
  EXPECT_EQ(a.icon->width, 1u);
}

TEST_F(CursorSession, RefusedIconsChangeNothing) {
  FakeWindow& w = create(2);
  window_icon(2, "png", coordinate_png(2, 2));
  ASSERT_TRUE(w.icon);
  const WindowIcon before = *w.icon;
  struct Case {
    const char* what;
    std::int64_t wid;
    std::string encoding;
    Bytes png;
    std::string line;
  };
  const Case cases[] = {
      {"unsupported encoding", 2, "jpeg", coordinate_png(2, 2),
       "DEBUG [nolv::client::client] ignoring window-icon for 0x2 with unsupported encoding "
       "\"jpeg\""},
      {"empty encoding", 2, "", coordinate_png(2, 2),
       "DEBUG [nolv::client::client] ignoring window-icon for 0x2 with unsupported encoding "
       "\"\""},
      {"not a png", 2, "png", Bytes(40, 'x'),
       fmt::format("DEBUG [nolv::client::client] failed to decode window icon for 0x2: invalid "
                   "png header: {}",
                   static_cast<int>(SPNG_ESIGNATURE))},
      // The image is decoded before the window is looked up.
      {"unknown window, good image", 0x63, "png", coordinate_png(2, 2),
       "ERROR [nolv::client::client] cannot set icon: window 0x63 not found"},
      {"unknown window, bad image", 0x63, "png", Bytes(40, 'x'),
       "DEBUG [nolv::client::client] failed to decode window icon for 0x63: invalid png "
       "header: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    window_icon(c.wid, c.encoding, c.png);
    const auto lines = log.take_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.line), std::string::npos) << lines[0];
    ASSERT_TRUE(w.icon);
    EXPECT_EQ(w.icon->rgba, before.rgba);
  }
  EXPECT_EQ(loop.windows.size(), 1u);
  EXPECT_EQ(peer.drain().size(), 1u);  // the window-map only
}

TEST_F(CursorSession, IconItemsOfAnotherTypeReadAsEmpty) {
  FakeWindow& w = create(2);
  LogCapture log;
  dispatch({S("window-icon"), I(2), I(0), I(0), S("png"), I(17)});
  dispatch({S("window-icon"), S("2"), I(0), I(0), S("png"), S("")});
  const auto lines = log.take_lines();
  EXPECT_TRUE(any_line_has(lines, "failed to decode window icon for 0x2: invalid png"));
  EXPECT_TRUE(any_line_has(lines, "failed to decode window icon for 0x0: invalid png"));
  EXPECT_FALSE(w.icon);
}

}  // namespace
}  // namespace nolv
