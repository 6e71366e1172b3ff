#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <optional>

#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

TEST(DesktopScale, SettingsAndTheAutomaticValue) {
  const double automatic = 1.75;
  const std::pair<const char*, double> cases[] = {
      {"off", 1.0},  {"  OFF ", 1.0}, {"no", 1.0},    {"false", 1.0},  {"0", 1.0},
      {"2", 2.0},    {"150%", 1.5},   {"150%%", 1.5}, {"8", 4.0},      {"0.5", 1.0},
      {"50%", 1.0},  {"-2", 1.75},    {"abc", 1.75},  {"%", 1.75},     {"inf", 1.75},
      {"nan", 1.75}, {"", 1.75},      {"auto", 1.75}, {" Yes ", 1.75}, {"true", 1.75},
      {"+3", 3.0},   {"2.5e0", 2.5},  {"1.5x", 1.75},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(desktop_scale_factor(std::string(text), automatic), expected) << text;
  }
  EXPECT_EQ(desktop_scale_factor(std::nullopt, automatic), 1.75);
  EXPECT_EQ(desktop_scale_factor(std::nullopt, 0.0), 1.0);
  EXPECT_EQ(desktop_scale_factor(std::nullopt, std::nan("")), 1.0);
  EXPECT_EQ(desktop_scale_factor(std::nullopt, 9.0), 4.0);
}

TEST(MonitorRect, DividesByTheScaleAndRoundsHalfAwayFromZero) {
  Monitor m{"HDMI-1", -3, 5, 3840, 2160, 60000, true};
  const MonitorInfo at2 = monitor_logical_rect(m, 2.0);
  EXPECT_EQ(at2, (MonitorInfo{"HDMI-1", 60000, -2, 3, 1920, 1080, true}));
  m.width = 1;
  m.height = 0;
  const MonitorInfo small = monitor_logical_rect(m, 4.0);
  EXPECT_EQ(small.width, 1u);
  EXPECT_EQ(small.height, 1u);
  m.x = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(monitor_logical_rect(m, 1.0).x, std::numeric_limits<std::int32_t>::min());
}

TEST(KeyboardLayouts, TableLookupAndTheEnvironmentFirst) {
  const std::pair<std::uint16_t, const char*> found[] = {
      {0x0409, "us"},    {0x0407, "de"}, {0x040C, "fr"},  {0x0809, "gb"}, {0x0401, "ar"},
      {0xE40A, "latam"}, {0xE40C, "fr"}, {0x4001, "ara"}, {0x2409, "en"}, {0x083E, "in"}};
  for (const auto& [id, name] : found) EXPECT_EQ(keyboard_layout_for_language(id), name) << id;
  for (std::uint16_t id : {0x0417, 0x0421, 0x0000, 0xFFFF}) {
    EXPECT_EQ(keyboard_layout_for_language(id), std::nullopt) << id;
  }
  EXPECT_EQ(choose_keyboard_layout(std::string(" fr "), std::string("us")), "fr");
  EXPECT_EQ(choose_keyboard_layout(std::string(" \t "), std::string("us")), "us");
  EXPECT_EQ(choose_keyboard_layout(std::nullopt, std::nullopt), std::nullopt);
  EXPECT_EQ(choose_keyboard_layout(std::string("\u00a0de\u3000"), std::nullopt), "de");
  ScopedEnv invalid("NOLV_KEYBOARD_LAYOUT", "\xff");
  EXPECT_EQ(environment_text("NOLV_KEYBOARD_LAYOUT"), std::nullopt);
}

TEST_F(SessionTest, StartupRecordsMonitorsSendsOneHelloAndRepeatsOnlyTheTray) {
  ScopedEnv scaling("NOLV_DESKTOP_SCALING", "2");
  loop.monitor_list = {Monitor{"DP-1", 0, 0, 3840, 2160, std::nullopt, true},
                       Monitor{"ghost", 0, 0, 0, 100, std::nullopt, false}};
  LogCapture capture;
  client->startup(loop);
  const auto lines = capture.take_lines();
  EXPECT_TRUE(client->resumed);
  EXPECT_TRUE(client->reader_started);
  EXPECT_EQ(client->scale, 2.0);
  EXPECT_EQ(client->monitors,
            (std::vector<MonitorInfo>{{"DP-1", std::nullopt, 0, 0, 1920, 1080, true}}));
  EXPECT_EQ(client->desktop_size, std::pair(1920u, 1080u));
  EXPECT_TRUE(
      any_line_has(lines, "scaling windows by 2 (set NOLV_DESKTOP_SCALING=off to disable)"));
  EXPECT_TRUE(any_line_has(lines, "local display size: 1920x1080"));
  EXPECT_TRUE(any_line_has(lines, "monitor 0 DP-1: 1920x1080 at 0,0 (primary)"));
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)[1]["display"]["desktop_size"], nlohmann::json::parse("[1920,1080]"));
  client->startup(loop);
  EXPECT_TRUE(peer.drain().empty());
}

TEST_F(SessionTest, DesktopSizeOutOfRangeOrMissingIsNotReported) {
  ScopedEnv scaling("NOLV_DESKTOP_SCALING", "off");
  loop.monitor_list = {Monitor{"a", 0, 0, 20000, 100, std::nullopt, true},
                       Monitor{"b", 20000, 0, 20000, 100, std::nullopt, false}};
  {
    LogCapture capture;
    client->startup(loop);
    const auto lines = capture.take_lines();
    EXPECT_TRUE(any_line_has(lines, "not reporting the invalid local display size 40000x100"));
    EXPECT_TRUE(any_line_has(lines, "no local display size to report to the server"));
  }
  EXPECT_FALSE(client->desktop_size);
  EXPECT_EQ(client->monitors.size(), 2u);
  SetUp();
  loop.monitor_list.clear();
  LogCapture capture;
  client->startup(loop);
  EXPECT_TRUE(any_line_has(capture.take_lines(), "no local display size to report to the server"));
  const auto hello = peer.next();
  ASSERT_TRUE(hello);
  EXPECT_FALSE((*hello)[1]["display"].contains("monitors"));
  EXPECT_FALSE((*hello)[1]["display"].contains("desktop_size"));
}

// Copied where startup hands the reader's body to its thread, on the test's thread: whether
// the client had written anything by then, given time to.
struct HandOverProbe {
  SocketPeer* peer;
  std::shared_ptr<bool> armed;
  std::shared_ptr<std::optional<bool>> written_before;
  HandOverProbe(SocketPeer* p, std::shared_ptr<bool> a, std::shared_ptr<std::optional<bool>> w)
      : peer(p), armed(std::move(a)), written_before(std::move(w)) {}
  HandOverProbe(const HandOverProbe& other)
      : peer(other.peer), armed(other.armed), written_before(other.written_before) {
    if (*armed && !written_before->has_value()) *written_before = peer->readable_within(200);
  }
  HandOverProbe(HandOverProbe&&) noexcept = default;
  HandOverProbe& operator=(const HandOverProbe&) = delete;
  HandOverProbe& operator=(HandOverProbe&&) = delete;
  ~HandOverProbe() = default;
};

TEST_F(SessionTest, TheReaderRunsBeforeTheFirstHelloIsWritten) {
  auto armed = std::make_shared<bool>(false);
  auto written_before = std::make_shared<std::optional<bool>>();
  std::promise<void> ran;
  auto reader_ran = ran.get_future();
  client->reader_body = [probe = HandOverProbe(&peer, armed, written_before),
                         ran = std::make_shared<std::promise<void>>(std::move(ran))](
                            Transport, EventLoopProxy, std::shared_ptr<Backlog>) {
    ran->set_value();
  };
  *armed = true;
  client->startup(loop);
  ASSERT_TRUE(written_before->has_value()) << "the reader's body was not handed to a thread";
  EXPECT_FALSE(**written_before) << "the hello was written before the reader was started";
  EXPECT_EQ(reader_ran.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(peer.next());
}

}  // namespace
}  // namespace nolv
