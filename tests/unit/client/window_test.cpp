#include <gtest/gtest.h>

#include <algorithm>

#include "client/scaling.h"
#include "client/window.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using nlohmann::json;

MonitorInfo monitor(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h) {
  MonitorInfo m;
  m.x = x;
  m.y = y;
  m.width = w;
  m.height = h;
  return m;
}

TEST(WindowGeometry, LocalSizesAndPositions) {
  EXPECT_EQ(local_size(101, 1.5), 152U);  // 151.5 rounds away from zero
  EXPECT_EQ(local_size(1, 1.5), 2U);
  EXPECT_EQ(local_size(0, 2.0), 1U);
  EXPECT_EQ(local_size(4000000000U, 2.0), 4294967295U);
  EXPECT_EQ(local_position(-3, 1.5), -5);  // -4.5 away from zero
  EXPECT_EQ(local_position(2000000000, 2.0), INT32_MAX);
  EXPECT_EQ(server_size(3, 2.0), 2U);
  EXPECT_EQ(scale_size_limit(std::nullopt, 2.0), std::nullopt);
  EXPECT_EQ(scale_size_limit(std::pair(200U, 100U), 1.5), std::pair(300U, 150U));
}

TEST(WindowGeometry, VirtualDesktopOffsetAndMonitorAtPoint) {
  const std::vector<MonitorInfo> mons = {monitor(0, 0, 1920, 1080),
                                         monitor(-1920, -100, 1920, 1080)};
  EXPECT_EQ(virtual_desktop_offset(mons, 100, 5), std::pair(-1820, -95));
  EXPECT_EQ(virtual_desktop_offset({}, 100, 5), std::pair(100, 5));
  EXPECT_EQ(virtual_desktop_offset({monitor(INT32_MIN, 0, 1, 1)}, -5, 0), std::pair(INT32_MIN, 0));
  EXPECT_EQ(*monitor_at_point(mons, -1820, -95), (json{{"index", 1}, {"position", {100, 5}}}));
  EXPECT_EQ(*monitor_at_point(mons, 1919, 1079), (json{{"index", 0}, {"position", {1919, 1079}}}));
  EXPECT_FALSE(monitor_at_point(mons, 1920, 0).has_value());
  EXPECT_EQ(pointer_monitor_info(mons, 5000, 0), json::object());
  EXPECT_EQ(pointer_monitor_info(mons, 1, 2),
            (json{{"monitor", {{"index", 0}, {"position", {1, 2}}}}}));
}

TEST(WindowGeometry, LogicalGeometryOfAWindow) {
  FakeWindow w(WindowId{1});
  w.inner = PhysicalPosition{-300, 151};
  w.size = PhysicalSize{301, 3};
  const LogicalGeometry g = window_logical_geometry(w, 2.0);
  EXPECT_EQ(g.x, -150);
  EXPECT_EQ(g.y, 76);  // 75.5 away from zero
  EXPECT_EQ(g.width, 151U);
  EXPECT_EQ(g.height, 2U);
  w.inner.reset();
  w.size = PhysicalSize{0, 0};
  const LogicalGeometry unknown = window_logical_geometry(w, 1.0);
  EXPECT_EQ(unknown.x, 0);
  EXPECT_EQ(unknown.width, 1U);
}

TEST(WindowMetadataParse, KeysAndWrongTypes) {
  const Yaml md = H({
      {"transient-for", I(5)},
      {"parent", I(-2)},
      {"title", S("hello")},
      {"class-instance", A({S("a"), S("b"), S("c")})},
      {"window-type", A({S("NORMAL"), I(1)})},
      {"icon-title", S("i")},
      {"workspace", S("3")},
      {"opacity", Yaml::real("-1")},
      {"relative-position", A({Yaml::real("1.5"), I(2)})},
      {"decorations", I(0)},
      {"fullscreen", B(true)},
      {"maximized", S("yes")},
      {"modal", I(2)},
  });
  const WindowMetadata m = WindowMetadata::parse(md);
  EXPECT_EQ(m.transient_for, 5U);
  EXPECT_EQ(m.parent, std::nullopt);  // not greater than 0
  EXPECT_EQ(m.title, "hello");
  EXPECT_EQ(m.class_instance, std::pair(std::string("a"), std::string("b")));
  EXPECT_EQ(m.window_type, std::nullopt);  // not all strings
  EXPECT_EQ(m.icon_title, "i");
  EXPECT_EQ(m.workspace, 3);
  EXPECT_EQ(m.opacity, -1);
  EXPECT_EQ(m.relative_position, std::nullopt);  // items must be Integers
  EXPECT_EQ(m.decorations, false);
  EXPECT_EQ(m.fullscreen, true);
  EXPECT_EQ(m.maximized, std::nullopt);
  EXPECT_EQ(m.modal, true);
  EXPECT_FALSE(m.size_constraints);

  EXPECT_EQ(WindowMetadata::parse(H({{"title", I(3)}, {"transient-for", I(0)}})).title,
            std::nullopt);
  EXPECT_EQ(WindowMetadata::parse(H({{"class-instance", A({S("a"), S("")})}})).class_instance,
            std::nullopt);
  EXPECT_EQ(WindowMetadata::parse(H({{"workspace", S("x1")}})).workspace, std::nullopt);
  EXPECT_EQ(WindowMetadata::parse(H({{"workspace", I(1LL << 40)}})).workspace, std::nullopt);
  const WindowMetadata none = WindowMetadata::parse(A({S("title")}));
  EXPECT_FALSE(none.title || none.modal || none.size_constraints);

  const WindowMetadata sc =
      WindowMetadata::parse(H({{"size-constraints", H({{"minimum-size", A({I(200), I(100)})},
                                                       {"maximum-size", A({I(0), I(100)})},
                                                       {"increment", A({I(4)})}})}}));
  EXPECT_TRUE(sc.size_constraints);
  EXPECT_EQ(sc.minimum_size, std::pair(200U, 100U));
  EXPECT_EQ(sc.maximum_size, std::nullopt);
  EXPECT_EQ(sc.increment, std::nullopt);
  EXPECT_FALSE(WindowMetadata::parse(H({{"size-constraints", A({})}})).size_constraints);
}

ClientWindow record_over(std::shared_ptr<FakeWindow> w, double scale = 1.0) {
  ClientWindow r;
  r.window = std::move(w);
  r.scale = scale;
  return r;
}

TEST(ApplyMetadata, SizeLimitsLevelsAndAttention) {
  auto w = std::make_shared<FakeWindow>(WindowId{1});
  ClientWindow r = record_over(w, 1.5);
  r.apply_metadata(WindowMetadata::parse(
      H({{"size-constraints",
          H({{"minimum-size", A({I(200), I(100)})}, {"maximum-size", A({I(200), I(100)})}})}})));
  EXPECT_EQ(w->min_size, (PhysicalSize{300, 150}));
  EXPECT_EQ(w->max_size, (PhysicalSize{300, 150}));
  EXPECT_FALSE(w->resizable);
  r.apply_metadata(
      WindowMetadata::parse(H({{"size-constraints", H({{"maximum-size", A({I(0), I(100)})}})}})));
  EXPECT_EQ(w->min_size, std::nullopt);
  EXPECT_EQ(w->max_size, std::nullopt);
  EXPECT_TRUE(w->resizable);

  r.apply_metadata(WindowMetadata::parse(H({{"above", B(true)}, {"below", B(true)}})));
  EXPECT_EQ(w->level, WindowLevel::AlwaysOnBottom);
  r.apply_metadata(WindowMetadata::parse(H({{"above", B(true)}})));
  EXPECT_EQ(w->level, WindowLevel::AlwaysOnTop);
  EXPECT_FALSE(r.below);
  r.apply_metadata(WindowMetadata::parse(H({{"above", B(false)}})));
  EXPECT_EQ(w->level, WindowLevel::Normal);

  r.apply_metadata(WindowMetadata::parse(H({{"title", S("t")},
                                            {"fullscreen", B(true)},
                                            {"maximized", B(true)},
                                            {"iconic", B(true)},
                                            {"skip-taskbar", B(true)},
                                            {"attention-requested", B(true)}})));
  EXPECT_EQ(w->title, "t");
  EXPECT_TRUE(w->fullscreen && w->maximized && *w->minimized && w->skip_taskbar && w->attention);

  auto o = std::make_shared<FakeWindow>(WindowId{2});
  ClientWindow menu = record_over(o);
  menu.override_redirect = true;
  o->attention = true;
  menu.apply_metadata(
      WindowMetadata::parse(H({{"decorations", B(true)}, {"attention-requested", B(true)}})));
  EXPECT_FALSE(o->decorations);
  EXPECT_FALSE(o->attention);  // cancelled, not requested
}

class WindowSession : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    client->resumed = true;
  }
  // Creates a window and returns the fake behind it; the window-map (if any) stays unread.
  FakeWindow& create(std::int64_t wid, std::int32_t x, std::int32_t y, std::uint32_t w,
                     std::uint32_t h, Yaml props = H({}), const char* name = "new-window") {
    dispatch({S(name), I(wid), I(x), I(y), I(w), I(h), std::move(props)});
    return *loop.windows.back();
  }
  std::vector<json> sent() { return peer.drain(); }
  ClientWindow& record(std::uint64_t wid) { return client->windows.at(wid); }
};

TEST_F(WindowSession, NewWindowSizesPositionAndWindowMap) {
  client->monitors = {monitor(-1920, 0, 1920, 1080), monitor(0, 0, 1920, 1080)};
  FakeWindow& w = create(7, 100, 20, 0, 50, H({{"title", S("term")}}));
  EXPECT_EQ(w.attributes.title, "term");
  EXPECT_EQ(w.attributes.inner_size, (PhysicalSize{1, 50}));
  EXPECT_EQ(w.attributes.position, (PhysicalPosition{-1820, 20}));
  EXPECT_TRUE(w.attributes.decorations && w.attributes.resizable);
  EXPECT_EQ(record(7).server_w, 1U);
  EXPECT_EQ(record(7).pixels().size(), 50U);
  EXPECT_EQ(w.surface->width(), 1U);
  const auto packets = sent();
  ASSERT_EQ(packets.size(), 1U);
  // The fake window reports no monitor, so the position gives it.
  EXPECT_EQ(packets[0], (json{"window-map",
                              7,
                              -1820,
                              20,
                              0,
                              50,
                              json::object(),
                              json::object(),
                              {{"index", 0}, {"position", {100, 20}}}}));
  EXPECT_EQ(client->window_ids.at(w.id()), 7U);
}

TEST_F(WindowSession, WindowMapWithoutMonitorHasEightItems) {
  create(1, 10, 10, 5, 5);
  const auto packets = sent();
  ASSERT_EQ(packets.size(), 1U);
  EXPECT_EQ(packets[0].size(), 8U);
}

TEST_F(WindowSession, ScaledSizesAndTables) {
  client->scale = 1.5;
  FakeWindow& w = create(1, 3, 0, 101, 1);
  EXPECT_EQ(w.attributes.inner_size, (PhysicalSize{152, 2}));
  EXPECT_EQ(w.attributes.position, (PhysicalPosition{5, 0}));
  EXPECT_EQ(record(1).column_map.size(), 152U);
  EXPECT_EQ(record(1).row_map, (std::vector<std::uint32_t>{0, 0}));
  client->scale = 2.0;
  FakeWindow& big = create(2, 0, 0, 3, 2);
  EXPECT_EQ(big.attributes.inner_size, (PhysicalSize{6, 4}));
  EXPECT_EQ(record(2).column_map, (std::vector<std::uint32_t>{0, 0, 1, 1, 2, 2}));
}

TEST_F(WindowSession, OverrideRedirectAndDecorations) {
  FakeWindow& menu = create(1, 0, 0, 10, 10, H({}), "new-override-redirect");
  EXPECT_EQ(menu.attributes.kind, WindowKind::OverrideRedirect);
  EXPECT_FALSE(menu.attributes.decorations);
  EXPECT_FALSE(menu.attributes.resizable);
  FakeWindow& flagged = create(2, 0, 0, 10, 10, H({{"override-redirect", I(1)}}));
  EXPECT_EQ(flagged.attributes.kind, WindowKind::OverrideRedirect);
  EXPECT_FALSE(flagged.attributes.decorations);
  FakeWindow& tooltip = create(4, 0, 0, 10, 10, H({{"override-redirect", B(true)}}));
  EXPECT_EQ(tooltip.attributes.kind, WindowKind::OverrideRedirect);
  EXPECT_TRUE(sent().empty());  // no window-map for any of them
  FakeWindow& plain = create(3, 0, 0, 10, 10, H({{"decorations", B(false)}}));
  EXPECT_EQ(plain.attributes.kind, WindowKind::Managed);
  EXPECT_FALSE(plain.attributes.decorations);
  EXPECT_TRUE(plain.attributes.resizable);
  FakeWindow& unflagged = create(5, 0, 0, 10, 10, H({{"override-redirect", B(false)}}));
  EXPECT_EQ(unflagged.attributes.kind, WindowKind::Managed);
}

TEST_F(WindowSession, OverrideRedirectStaysAsCreated) {
  FakeWindow& main = create(1, 0, 0, 10, 10);
  FakeWindow& menu = create(2, 0, 0, 10, 10, H({}), "new-override-redirect");
  const std::size_t created = loop.windows.size();
  LogCapture log;
  dispatch({S("window-metadata"), I(1), H({{"override-redirect", B(true)}})});
  dispatch({S("window-metadata"), I(2), H({{"override-redirect", B(false)}})});
  dispatch({S("window-metadata"), I(2), H({{"override-redirect", I(1)}})});  // no change
  const auto lines = log.take_lines();
  EXPECT_TRUE(any_line_has(lines, "window 0x1: cannot change override-redirect to true"));
  EXPECT_TRUE(any_line_has(lines, "window 0x2: cannot change override-redirect to false"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("cannot change override-redirect") != std::string::npos;
                          }),
            2);
  EXPECT_EQ(loop.windows.size(), created);  // nothing recreated
  EXPECT_FALSE(record(1).override_redirect);
  EXPECT_TRUE(record(2).override_redirect);
  EXPECT_EQ(record(1).window.get(), &main);
  EXPECT_EQ(record(2).window.get(), &menu);
}

TEST_F(WindowSession, OwnersAndRelativePosition) {
  FakeWindow& parent = create(1, 100, 50, 300, 200);
  parent.inner = PhysicalPosition{100, 50};
  FakeWindow& orphan = create(2, 0, 0, 10, 10, H({{"transient-for", I(99)}}));
  EXPECT_EQ(orphan.attributes.owner, nullptr);
  EXPECT_EQ(record(2).owner, std::nullopt);
  FakeWindow& popup =
      create(3, 0, 0, 10, 10, H({{"parent", I(1)}, {"relative-position", A({I(10), I(20)})}}));
  EXPECT_EQ(popup.attributes.owner.get(), &parent);
  EXPECT_EQ(record(3).owner, 1U);
  EXPECT_EQ(popup.attributes.position, (PhysicalPosition{110, 70}));
  const auto packets = sent();
  ASSERT_EQ(packets.size(), 3U);
  EXPECT_EQ(packets[2][2], 110);
  EXPECT_EQ(packets[2][3], 70);
}

TEST_F(WindowSession, DecoratedWindowIsPlacedByItsClientArea) {
  FakeWindow& w = create(1, 40, 30, 10, 10);
  EXPECT_EQ(w.ops.front(), "inner_position 40,30");
  FakeWindow& bare = create(2, 40, 30, 10, 10, H({{"decorations", B(false)}}));
  for (const auto& op : bare.ops) EXPECT_EQ(op.find("inner_position"), std::string::npos);
}

TEST_F(WindowSession, SecondNewWindowReplacesTheFirst) {
  FakeWindow& first = create(1, 0, 0, 10, 10);
  const WindowId first_id = first.id();
  FakeWindow& second = create(1, 0, 0, 20, 10);
  EXPECT_EQ(loop.windows.front().use_count(), 1L);  // only the test holds the old one
  EXPECT_EQ(client->windows.size(), 1U);
  EXPECT_FALSE(client->window_ids.contains(first_id));
  EXPECT_EQ(client->window_ids.at(second.id()), 1U);
  EXPECT_EQ(record(1).server_w, 20U);
}

TEST_F(WindowSession, ShortOrFailedCreationsStoreNothing) {
  dispatch({S("new-window"), I(1), I(0), I(0), I(5), I(5)});
  loop.fail_windows = true;
  dispatch({S("new-window"), I(2), I(0), I(0), I(5), I(5), H({})});
  loop.fail_windows = false;
  dispatch({S("new-window"), I(3), I(0), I(0), I(100000), I(100000), H({})});
  EXPECT_TRUE(client->windows.empty());
  EXPECT_TRUE(sent().empty());
}

// Each side is bounded, in server units and once scaled, not only the picture's area: a window
// one pixel high and wider than any display passes the area bound alone.
TEST_F(WindowSession, EachSideIsBoundedAtCreation) {
  struct Case {
    std::uint32_t w, h;
    double scale;
    bool created;
  };
  const std::vector<Case> cases = {
      {kMaxWindowSide, 1, 1.0, true}, {kMaxWindowSide + 1, 1, 1.0, false},
      {1, kMaxWindowSide, 1.0, true}, {1, kMaxWindowSide + 1, 1.0, false},
      {20000000, 1, 1.0, false},      {1, 20000000, 1.0, false},
      {40000, 10, 1.0, false},        {16383, 1, 2.0, true},
      {16384, 1, 2.0, false},         {1, 16384, 2.0, false},
  };
  std::int64_t wid = 0;
  for (const Case& c : cases) {
    ++wid;
    client->scale = c.scale;
    const std::size_t windows_before = loop.windows.size();
    LogCapture log;
    dispatch({S("new-window"), I(wid), I(0), I(0), I(c.w), I(c.h), H({})});
    const auto packets = sent();
    const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h);
    EXPECT_EQ(client->windows.contains(wid), c.created) << what;
    if (c.created) {
      ASSERT_EQ(packets.size(), 1U) << what;
      EXPECT_EQ(packets[0][0], "window-map") << what;
      EXPECT_EQ(record(wid).local_w, local_size(c.w, c.scale)) << what;
      client->windows.erase(wid);  // leave the shared pixel budget to the next case
    } else {
      EXPECT_TRUE(packets.empty()) << what;
      EXPECT_EQ(loop.windows.size(), windows_before) << what;  // refused before any window
      EXPECT_TRUE(
          any_line_has(log.take_lines(), "failed to create window: " + what + " is too large"))
          << what;
    }
  }
}

// A surface the display refuses makes the window a failed creation; the session goes on.
TEST_F(WindowSession, RefusedSurfaceIsAFailedCreation) {
  struct Case {
    bool no_surface;
    const char* logged;
  };
  for (const Case& c :
       {Case{true, "failed to create window: failed to create softbuffer surface"},
        Case{false, "failed to create window: failed to size softbuffer surface"}}) {
    dispatch({S("lost-window"), I(2)});  // the window of the case before
    loop.fail_surfaces = c.no_surface;
    loop.fail_surface_sizes = !c.no_surface;
    LogCapture log;
    dispatch({S("new-window"), I(1), I(0), I(0), I(10), I(10), H({})});
    EXPECT_TRUE(any_line_has(log.take_lines(), c.logged)) << c.logged;
    EXPECT_TRUE(client->windows.empty()) << c.logged;
    EXPECT_TRUE(client->window_ids.empty()) << c.logged;
    EXPECT_EQ(loop.windows.back().use_count(), 1L) << c.logged;  // the window closed again
    EXPECT_TRUE(sent().empty()) << c.logged;
    loop.fail_surfaces = false;
    loop.fail_surface_sizes = false;
    create(2, 0, 0, 10, 10);
    EXPECT_TRUE(client->windows.contains(2)) << c.logged;
    EXPECT_EQ(sent().size(), 1U) << c.logged;
  }
}

TEST_F(WindowSession, ResizesPastTheSideBoundAreRefused) {
  client->scale = 2.0;
  FakeWindow& w = create(1, 0, 0, 10, 10);
  sent();
  w.ops.clear();
  LogCapture requests;
  // Server-side requests: past the bound once scaled, or in server units already.
  dispatch({S("window-resized"), I(1), I(16384), I(1)});
  dispatch({S("window-resized"), I(1), I(1), I(20000000)});
  dispatch({S("window-move-resize"), I(1), I(5), I(5), I(40000), I(10)});
  EXPECT_EQ(w.ops, (std::vector<std::string>{"inner_position 10,10"}));  // moved, not resized
  const auto lines = requests.take_lines();
  EXPECT_TRUE(any_line_has(lines, "cannot resize: window 0x1: 16384x1 is too large"));
  EXPECT_TRUE(any_line_has(lines, "cannot resize: window 0x1: 40000x10 is too large"));
  dispatch({S("window-resized"), I(1), I(16383), I(1)});
  EXPECT_EQ(w.ops.back(), "request_inner_size 32766x2");

  // Local resizes, as the display reports them.
  struct Case {
    std::uint32_t lw, lh;
    bool taken;
  };
  for (const Case& c :
       {Case{kMaxWindowSide + 1, 2, false}, Case{2, kMaxWindowSide + 1, false},
        Case{20000000, 2, false}, Case{kMaxWindowSide, 2, true}, Case{2, kMaxWindowSide, true}}) {
    const std::uint32_t before = record(1).local_w;
    LogCapture log;
    w.size = PhysicalSize{c.lw, c.lh};
    WindowEvent resized = Resized{{c.lw, c.lh}};
    client->handle_window_event(1, resized);
    EXPECT_EQ(record(1).local_w, c.taken ? c.lw : before) << c.lw << "x" << c.lh;
    EXPECT_EQ(w.surface->width(), c.taken ? c.lw : before) << c.lw << "x" << c.lh;
    if (!c.taken) {
      EXPECT_TRUE(any_line_has(
          log.take_lines(), "failed to resize softbuffer surface: " + std::to_string(c.lw) + "x" +
                                std::to_string(c.lh) + " is too large"));
    }
  }
  // Size limits past the bound are the bound.
  dispatch({S("window-metadata"), I(1),
            H({{"size-constraints", H({{"minimum-size", A({I(20000000), I(1)})}})}})});
  EXPECT_EQ(w.min_size, (PhysicalSize{kMaxWindowSide, 2}));
}

// Each window is bounded on its own; all of them together share one budget, so a server cannot
// take memory without end by opening window after window.
TEST_F(WindowSession, AllWindowsShareOnePixelBudget) {
  client->window_pixel_budget = 1000;  // five 10x10 windows: 100 back buffer + 100 surface each
  for (std::int64_t wid = 1; wid <= 5; ++wid) create(wid, 0, 0, 10, 10);
  sent();
  LogCapture log;
  dispatch({S("new-window"), I(6), I(0), I(0), I(10), I(10), H({})});
  EXPECT_TRUE(any_line_has(log.take_lines(),
                           "failed to create window: 10x10 exceeds the memory left for windows"));
  EXPECT_FALSE(client->windows.contains(6));
  EXPECT_EQ(loop.windows.size(), 5U);
  EXPECT_TRUE(sent().empty());

  create(1, 0, 0, 10, 10);  // a replaced window gives its own pixels back first
  EXPECT_EQ(client->windows.size(), 5U);
  FakeWindow& second = *loop.windows[1];
  second.size = PhysicalSize{20, 20};
  WindowEvent resized = Resized{{20, 20}};
  client->handle_window_event(2, resized);
  EXPECT_EQ(record(2).local_w, 10U);
  EXPECT_EQ(record(2).pixels().size(), 100U);

  dispatch({S("lost-window"), I(3)});
  create(6, 0, 0, 10, 10);
  EXPECT_TRUE(client->windows.contains(6));
}

TEST_F(WindowSession, MetadataPacket) {
  FakeWindow& w = create(1, 0, 0, 10, 10);
  sent();
  LogCapture log;
  dispatch({S("window-metadata"), I(1),
            H({{
                   "title",
                   S("new"),
               },
               {"maximized", B(true)}})});
  dispatch({S("window-metadata"), I(9), H({{"title", S("x")}})});
  dispatch({S("window-metadata"), I(1)});
  const auto lines = log.take_lines();
  EXPECT_EQ(w.title, "new");
  EXPECT_TRUE(w.maximized);
  EXPECT_TRUE(any_line_has(lines, "window 0x9 not found!"));
  EXPECT_TRUE(any_line_has(lines, "ignoring window-metadata packet with 2 items"));
}

TEST_F(WindowSession, TwoModalsKeepTheirOwnerDisabled) {
  FakeWindow& owner = create(1, 0, 0, 10, 10);
  FakeWindow& other = create(4, 0, 0, 10, 10);
  create(2, 0, 0, 10, 10, H({{"transient-for", I(1)}, {"modal", B(true)}}));
  EXPECT_FALSE(owner.input_enabled);
  EXPECT_TRUE(other.input_enabled);
  create(3, 0, 0, 10, 10, H({{"transient-for", I(1)}, {"modal", B(true)}}));
  dispatch({S("lost-window"), I(2)});
  EXPECT_FALSE(owner.input_enabled);
  dispatch({S("window-metadata"), I(3), H({{"modal", B(false)}})});
  EXPECT_TRUE(owner.input_enabled);
  dispatch({S("window-metadata"), I(3), H({{"modal", B(true)}})});
  EXPECT_FALSE(owner.input_enabled);
  dispatch({S("window-destroy"), I(3)});
  EXPECT_TRUE(owner.input_enabled);
  // A modal window whose owner is unknown disables nothing.
  create(5, 0, 0, 10, 10, H({{"transient-for", I(77)}, {"modal", B(true)}}));
  EXPECT_TRUE(owner.input_enabled && other.input_enabled);
}

TEST_F(WindowSession, MoveResizeAndResize) {
  client->monitors = {monitor(-1920, 0, 1920, 1080), monitor(0, 0, 1920, 1080)};
  client->scale = 2.0;
  FakeWindow& w = create(1, 0, 0, 10, 10);
  w.ops.clear();
  dispatch({S("window-move-resize"), I(1), I(100), I(5), I(30), I(0)});
  EXPECT_EQ(w.ops,
            (std::vector<std::string>{"inner_position -3640,10", "request_inner_size 60x1"}));
  w.ops.clear();
  dispatch({S("window-resized"), I(1), I(0), I(7)});
  EXPECT_EQ(w.ops, (std::vector<std::string>{"request_inner_size 1x14"}));
  w.inner.reset();
  w.ops.clear();
  LogCapture log;
  dispatch({S("configure-override-redirect"), I(1), I(1), I(1), I(2), I(2)});
  dispatch({S("window-move-resize"), I(9), I(1), I(1), I(2), I(2)});
  const auto lines = log.take_lines();
  EXPECT_EQ(w.ops, (std::vector<std::string>{"request_inner_size 4x4"}));
  EXPECT_TRUE(any_line_has(lines, "absolute positioning is not supported"));
  EXPECT_TRUE(any_line_has(lines, "cannot move-resize: window 0x9 not found"));
}

TEST_F(WindowSession, InitiateMoveResizeDirections) {
  FakeWindow& w = create(1, 0, 0, 10, 10);
  w.ops.clear();
  for (int d : {0, 3, 7, 8, 9, 11}) dispatch({S("initiate-moveresize"), I(1), I(0), I(0), I(d)});
  EXPECT_EQ(w.ops, (std::vector<std::string>{"drag_resize 3", "drag_resize 0", "drag_resize 7",
                                             "drag_window"}));
}

TEST_F(WindowSession, RaiseAndShowDesktop) {
  FakeWindow& w = create(1, 0, 0, 10, 10);
  w.focused = true;
  w.ops.clear();
  dispatch({S("raise-window"), I(1)});
  EXPECT_TRUE(w.ops.empty());
  w.focused = false;
  dispatch({S("window-raise"), I(1)});
  EXPECT_EQ(w.ops, (std::vector<std::string>{"focus_window"}));
  dispatch({S("show-desktop"), B(true)});
  EXPECT_TRUE(*w.minimized);
  dispatch({S("show-desktop")});
  EXPECT_FALSE(*w.minimized);
}

TEST_F(WindowSession, PointerGrabRules) {
  FakeWindow& a = create(1, 0, 0, 10, 10);
  FakeWindow& b = create(2, 0, 0, 10, 10);
  create(3, 0, 0, 10, 10, H({}), "new-override-redirect");
  a.ops.clear();
  dispatch({S("pointer-grab"), I(1)});
  dispatch({S("pointer-grab"), I(1)});
  EXPECT_EQ(a.ops, (std::vector<std::string>{"cursor_grab confined"}));
  dispatch({S("window-grab"), I(2)});
  EXPECT_EQ(a.ops.back(), "cursor_grab none");
  EXPECT_EQ(client->pointer_grab, 2U);
  dispatch({S("pointer-ungrab"), I(77)});
  EXPECT_EQ(b.ops.back(), "cursor_grab none");
  EXPECT_EQ(client->pointer_grab, std::nullopt);
  dispatch({S("pointer-grab"), I(3)});
  EXPECT_EQ(client->pointer_grab, std::nullopt);
  b.fail_grab = true;
  dispatch({S("pointer-grab"), I(2)});
  EXPECT_EQ(client->pointer_grab, std::nullopt);
  dispatch({S("pointer-grab")});
  dispatch({S("pointer-grab"), I(1)});
  a.ops.clear();
  dispatch({S("lost-window"), I(1)});
  EXPECT_EQ(a.ops, (std::vector<std::string>{"cursor_grab none"}));
  EXPECT_EQ(client->pointer_grab, std::nullopt);
}

TEST_F(WindowSession, GrabEndedByTheDisplayOrByAReplacementIsTakenAgain) {
  FakeWindow& a = create(1, 0, 0, 10, 10);
  create(2, 0, 0, 10, 10);
  dispatch({S("pointer-grab"), I(1)});
  // a loss reported by another window changes nothing
  WindowEvent lost = PointerGrabLost{};
  client->handle_window_event(2, lost);
  EXPECT_EQ(client->pointer_grab, 1U);
  client->handle_window_event(1, lost);
  EXPECT_EQ(client->pointer_grab, std::nullopt);
  a.ops.clear();
  dispatch({S("pointer-grab"), I(1)});
  EXPECT_EQ(a.ops, (std::vector<std::string>{"cursor_grab confined"}));
  // the replaced window lets go; the new one grabs on the next request
  a.ops.clear();
  FakeWindow& replacement = create(1, 0, 0, 10, 10);
  EXPECT_EQ(a.ops, (std::vector<std::string>{"cursor_grab none"}));
  EXPECT_EQ(client->pointer_grab, std::nullopt);
  dispatch({S("pointer-grab"), I(1)});
  EXPECT_EQ(replacement.grab, CursorGrabMode::Confined);
  EXPECT_EQ(client->pointer_grab, 1U);
}

TEST_F(WindowSession, LostWindowTakesTheWindowAndAnUnknownOneIsLogged) {
  FakeWindow& w = create(1, 0, 0, 10, 10);
  const WindowId id = w.id();
  LogCapture log;
  dispatch({S("lost-window"), I(1)});
  dispatch({S("window-destroy"), I(42)});
  EXPECT_TRUE(any_line_has(log.take_lines(), "window 0x2a not found!"));
  EXPECT_TRUE(client->windows.empty());
  EXPECT_FALSE(client->window_ids.contains(id));
  EXPECT_EQ(loop.windows.front().use_count(), 1L);
}

TEST_F(WindowSession, DockIconFollowsTheWindows) {
  LogCapture log;
  create(1, 0, 0, 10, 10);
  create(2, 0, 0, 10, 10);
  dispatch({S("lost-window"), I(1)});
  dispatch({S("lost-window"), I(2)});
  const auto lines = log.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("dock icon") != l.npos; }),
            2);
  EXPECT_EQ(client->tray.dock_icon(), false);
}

// ---- window events ----

TEST_F(WindowSession, CloseFocusAndOtherEvents) {
  create(1, 0, 0, 10, 10);
  create(2, 0, 0, 10, 10, H({}), "new-override-redirect");
  sent();
  WindowEvent close = CloseRequested{};
  client->handle_window_event(99, close);
  WindowEvent in = Focused{true};
  WindowEvent out = Focused{false};
  client->handle_window_event(1, in);
  client->handle_window_event(1, out);
  client->handle_window_event(2, in);
  WindowEvent other = OtherWindowEvent{"CursorLeft"};
  client->handle_window_event(1, other);
  EXPECT_EQ(sent(), (std::vector<json>{{"window-close", 99}, {"window-focus", 1}}));
}

TEST_F(WindowSession, PointerMotionButtonsAndWheelInServerUnits) {
  client->monitors = {monitor(0, 0, 1920, 1080)};
  client->scale = 2.0;
  FakeWindow& w = create(1, 0, 0, 100, 100);
  w.inner = PhysicalPosition{200, 101};
  sent();
  WindowEvent moved = CursorMoved{10.5, 0.0};
  client->handle_window_event(1, moved);
  WindowEvent press = MouseInput{{MouseButtonKind::Right, 0}, true};
  client->handle_window_event(1, press);
  WindowEvent other = MouseInput{{MouseButtonKind::Other, 0x1FF}, false};
  client->handle_window_event(1, other);
  WindowEvent wheel = MouseWheel{LineDelta{0.5F, -2.0F}};
  client->handle_window_event(1, wheel);
  const json mon = {{"monitor", {{"index", 0}, {"position", {105, 50}}}}};
  const std::vector<json> expected = {
      {"pointer-motion", 0, 0, 1, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, 3, true, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, -1, false, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, 5, true, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, 5, false, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, 6, true, {105, 50}, mon},
      {"pointer-button", 0, 0, 1, 6, false, {105, 50}, mon},
  };
  EXPECT_EQ(sent(), expected);
  WindowEvent nan_wheel = MouseWheel{PixelDelta{0.0, std::nan("")}};
  client->handle_window_event(1, nan_wheel);
  const auto nan_packets = sent();
  ASSERT_EQ(nan_packets.size(), 2U);  // NaN counts as a step: button 5 (not > 0)
  EXPECT_EQ(nan_packets[0][4], 5);
}

TEST_F(WindowSession, KeysCarryTheModifierState) {
  create(1, 0, 0, 10, 10);
  sent();
  WindowEvent mods = ModifiersChanged{kModifierShift | kModifierAlt};
  client->handle_window_event(1, mods);
  WindowEvent key = KeyboardInput{CharacterKey{"A"}, 0x1E, true, false, false};
  client->handle_window_event(1, key);
  const auto packets = sent();
  ASSERT_EQ(packets.size(), 1U);
  EXPECT_EQ(packets[0][0], "keyboard-event");
  EXPECT_EQ(packets[0][2], "A");
  EXPECT_EQ(packets[0][4]["modifiers"], (json{"shift", "mod1"}));
  EXPECT_EQ(packets[0][4]["keycode"], 0x1E);
}

TEST_F(WindowSession, GeometryChanges) {
  FakeWindow& w = create(1, 0, 0, 10, 10);
  w.inner = PhysicalPosition{30, 40};
  sent();
  w.minimized = true;
  w.size = PhysicalSize{50, 60};
  WindowEvent resized = Resized{{50, 60}};
  client->handle_window_event(1, resized);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(record(1).local_w, 10U);
  w.minimized = false;
  record(1).damage.push_back(Rect{0, 0, 1, 1});
  client->handle_window_event(1, resized);
  EXPECT_EQ(record(1).local_w, 50U);
  EXPECT_EQ(record(1).server_h, 60U);
  EXPECT_EQ(record(1).pixels().size(), 3000U);
  EXPECT_TRUE(record(1).damage.empty());
  EXPECT_EQ(w.redraw_requests, 1);
  EXPECT_EQ(sent(), (std::vector<json>{{"window-configure", 1, {{"geometry", {30, 40, 50, 60}}}}}));
  WindowEvent moved = Moved{{0, 0}};
  client->handle_window_event(1, moved);
  EXPECT_EQ(w.surface->resizes, 2);  // creation and the one resize
  EXPECT_EQ(sent().size(), 1U);
  w.size = PhysicalSize{0, 0};
  w.surface->fail_resize = true;
  client->handle_window_event(1, resized);
  EXPECT_EQ(record(1).local_w, 50U);  // the failed resize keeps the sizes
  EXPECT_EQ(sent().size(), 1U);       // and still reports the geometry
}

// ---- draw_screen ----

class DrawScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    ensure_test_logger();
    window = std::make_shared<FakeWindow>(WindowId{1});
    auto s = window->create_surface();
    r.surface = std::move(*s);
    r.window = window;
    size(4, 3, 4, 3, 1.0);
  }
  void size(std::uint32_t sw, std::uint32_t sh, std::uint32_t lw, std::uint32_t lh, double scale) {
    r.server_w = sw;
    r.server_h = sh;
    r.local_w = lw;
    r.local_h = lh;
    r.scale = scale;
    r.back_buffer.resize(std::size_t{sw} * sh);
    for (std::size_t i = 0; i < r.back_buffer.size(); ++i)
      r.back_buffer[i] = static_cast<std::uint32_t>(i + 1);
    r.column_map = build_index_map(lw, sw, scale);
    r.row_map = build_index_map(lh, sh, scale);
    ASSERT_TRUE(r.surface->resize(lw, lh).ok());
  }
  FakeSurface& surface() { return *window->surface; }
  std::shared_ptr<FakeWindow> window;
  ClientWindow r;
};

TEST_F(DrawScreen, EmptyDamageIsAFullCopy) {
  surface().ages = {1};
  ASSERT_TRUE(r.draw_screen().ok());
  ASSERT_EQ(surface().presents.size(), 1U);
  EXPECT_EQ(surface().presents[0], std::nullopt);
  EXPECT_EQ(surface().pixels, r.back_buffer);
  ASSERT_EQ(r.damage_history.size(), 1U);
  EXPECT_EQ(r.damage_history[0], (std::vector<Rect>{{0, 0, 4, 3}}));
}

TEST_F(DrawScreen, AgeDecidesBetweenFullAndPartial) {
  struct Case {
    std::uint8_t age;
    std::size_t history;  // entries before the redraw
    bool partial;
    std::size_t rects;
  };
  const std::vector<Case> cases = {
      {0, 3, false, 0}, {1, 0, true, 1}, {2, 0, false, 0},
      {2, 1, true, 2},  {3, 2, true, 3}, {4, 2, false, 0},
  };
  for (const Case& c : cases) {
    r.damage_history.clear();
    // Apart from each other and from the new damage, so that none is merged.
    for (std::size_t i = 0; i < c.history; ++i)
      r.damage_history.push_back({Rect{static_cast<std::uint32_t>(2 * i), 2, 1, 1}});
    r.damage = {Rect{1, 1, 2, 1}};
    r.unknown_age_count = 0;
    surface().presents.clear();
    surface().ages = {c.age};
    std::fill(surface().pixels.begin(), surface().pixels.end(), 0);
    ASSERT_TRUE(r.draw_screen().ok());
    ASSERT_EQ(surface().presents.size(), 1U);
    EXPECT_EQ(surface().presents[0].has_value(), c.partial) << int(c.age) << " " << c.history;
    if (c.partial) {
      EXPECT_EQ(surface().presents[0]->size(), c.rects);
      EXPECT_EQ(surface().presents[0]->front(), (Rect{1, 1, 2, 1}));
      EXPECT_EQ(surface().pixels[5], 6U);   // inside the damage
      EXPECT_EQ(surface().pixels[11], 0U);  // outside every rectangle
    } else {
      EXPECT_EQ(surface().pixels, r.back_buffer);
    }
    EXPECT_TRUE(r.damage.empty());
  }
}

TEST_F(DrawScreen, OverlappingDamageIsPresentedOnceAsDisjointRectangles) {
  size(4, 3, 6, 5, 1.5);
  std::fill(surface().pixels.begin(), surface().pixels.end(), 0);
  // Two draws of the whole window, one of its corner, and last frame's corner again (age 2).
  r.damage_history.push_back({Rect{0, 0, 3, 3}});
  r.damage = {Rect{0, 0, 6, 5}, Rect{0, 0, 6, 5}, Rect{1, 1, 2, 2}};
  surface().ages = {2};
  ASSERT_TRUE(r.draw_screen().ok());
  ASSERT_EQ(surface().presents.size(), 1U);
  ASSERT_TRUE(surface().presents[0].has_value());
  EXPECT_EQ(*surface().presents[0], (std::vector<Rect>{{0, 0, 6, 5}}));
  std::vector<std::uint32_t> full(surface().pixels.size());
  scale_rect(r.back_buffer, 4, full, 6, Rect{0, 0, 6, 5}, r.column_map, r.row_map);
  EXPECT_EQ(surface().pixels, full);
  EXPECT_EQ(r.damage_history.front(), (std::vector<Rect>{{0, 0, 6, 5}}));
}

TEST_F(DrawScreen, HistoryKeepsEightNewestFirst) {
  for (std::uint32_t i = 0; i < 10; ++i) {
    r.damage = {Rect{i % 4, 0, 1, 1}};
    ASSERT_TRUE(r.draw_screen().ok());
  }
  ASSERT_EQ(r.damage_history.size(), 8U);
  EXPECT_EQ(r.damage_history.front(), (std::vector<Rect>{{1, 0, 1, 1}}));  // i = 9
  EXPECT_EQ(r.damage_history.back(), (std::vector<Rect>{{2, 0, 1, 1}}));   // i = 2
}

TEST_F(DrawScreen, UnknownAgeEightTimesStopsTracking) {
  surface().next_age = 0;
  LogCapture log;
  for (int i = 0; i < 7; ++i) {
    r.damage = {Rect{0, 0, 1, 1}};
    ASSERT_TRUE(r.draw_screen().ok());
  }
  EXPECT_TRUE(r.track_damage);
  surface().ages = {1};
  r.damage = {Rect{0, 0, 1, 1}};
  ASSERT_TRUE(r.draw_screen().ok());  // one known age resets the count
  EXPECT_EQ(r.unknown_age_count, 0U);
  for (int i = 0; i < 8; ++i) {
    r.damage = {Rect{0, 0, 1, 1}};
    ASSERT_TRUE(r.draw_screen().ok());
  }
  EXPECT_FALSE(r.track_damage);
  EXPECT_TRUE(r.damage_history.empty());
  surface().next_age = 1;
  surface().presents.clear();
  r.damage = {Rect{0, 0, 1, 1}};
  ASSERT_TRUE(r.draw_screen().ok());
  ASSERT_TRUE(r.draw_screen().ok());
  EXPECT_EQ(surface().presents[0], std::nullopt);
  EXPECT_TRUE(r.damage_history.empty());
  const auto lines = log.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("never reports a buffer age") != l.npos;
                          }),
            1);
}

TEST_F(DrawScreen, FailuresKeepTheDamageAndSayWhy) {
  r.damage = {Rect{0, 0, 1, 1}};
  surface().fail_buffer = true;
  Status shown = r.draw_screen();
  ASSERT_FALSE(shown.ok());
  EXPECT_EQ(shown.message(), "failed to get softbuffer buffer: no buffer");
  EXPECT_EQ(r.damage.size(), 1U);
  surface().fail_buffer = false;
  surface().buffer_size_override = PhysicalSize{2, 2};
  shown = r.draw_screen();
  ASSERT_FALSE(shown.ok());
  EXPECT_EQ(shown.message(), "failed to get softbuffer buffer: 2x2 pixels for a 4x3 window");
  EXPECT_EQ(r.damage.size(), 1U);
  EXPECT_TRUE(surface().presents.empty());
  surface().buffer_size_override.reset();
  surface().fail_present = true;
  shown = r.draw_screen();
  ASSERT_FALSE(shown.ok());
  EXPECT_EQ(shown.message(), "failed to present softbuffer buffer: present refused");
  EXPECT_EQ(r.damage_history.size(), 1U);  // a failed present still enters the history
}

TEST_F(DrawScreen, RescalesThroughTheTables) {
  size(2, 2, 4, 4, 2.0);
  ASSERT_TRUE(r.draw_screen().ok());
  EXPECT_EQ(surface().pixels,
            (std::vector<std::uint32_t>{1, 1, 2, 2, 1, 1, 2, 2, 3, 3, 4, 4, 3, 3, 4, 4}));
  std::fill(surface().pixels.begin(), surface().pixels.end(), 0);
  r.damage = {Rect{2, 2, 2, 2}};
  ASSERT_TRUE(r.draw_screen().ok());
  EXPECT_EQ(surface().pixels[15], 4U);
  EXPECT_EQ(surface().pixels[0], 0U);
}

}  // namespace
}  // namespace nolv
