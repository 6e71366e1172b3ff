#include "client/tray.h"

#include <gtest/gtest.h>

#include "fakes/event_sink.h"
#include "fakes/tray.h"

namespace nolv {
namespace {

Packet packet(std::vector<Yaml> items) {
  return Packet{std::move(items), {}, std::nullopt};
}

Packet show(std::uint64_t id, std::string app, std::string summary, std::string body) {
  return packet({Yaml::string("notify_show"), Yaml::integer(0),
                 Yaml::integer(static_cast<std::int64_t>(id)), Yaml::string(std::move(app)),
                 Yaml::integer(0), Yaml::string("icon"), Yaml::string(std::move(summary)),
                 Yaml::string(std::move(body))});
}

Packet close(std::uint64_t id) {
  return packet({Yaml::string("notify_close"), Yaml::integer(static_cast<std::int64_t>(id))});
}

TEST(CopyToWideArray, CutsAtTheArraySizeInUtf16Units) {
  const std::string smile = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair
  struct Case {
    std::size_t n;
    std::string text;
    std::u16string want;
  };
  const Case cases[] = {
      {128, "abc", u"abc"},
      {4, "abcdef", u"abc"},
      {1, "abc", u""},
      {0, "abc", u""},
      {4, "\xC3\xA9t\xC3\xA9", u"\u00e9t\u00e9"},
      {4, "a" + smile, u"a\xD83D\xDE00"},
      {3, "a" + smile, u"a\xD83D"},
      {3, "ab" + smile, u"ab"},
      {4, "ab" + smile, u"ab\xD83D"},  // the pair is cut, as the array allows
      {8,
       "a\xFF"
       "b",
       u"a\uFFFD"
       "b"},
      {8, "\xE2\x82", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(copy_to_wide_array(c.n, c.text), c.want) << c.text << " n=" << c.n;
  }
}

TEST(BalloonTexts, TitleAndTextRules) {
  struct Case {
    std::string app, summary, body;
    std::optional<std::pair<std::string, std::string>> want;  // title, text
  };
  const Case cases[] = {
      {"mail", "New mail", "", std::pair{"mail", "New mail"}},
      {"", "New mail", "", std::pair{"Nolv", "New mail"}},
      {"mail", "", "Body text", std::pair{"mail", "Body text"}},
      {"mail", "Hello", "Body text", std::pair{"Hello", "Body text"}},
      {"", "", "Body", std::pair{"", "Body"}},
      {"mail", "", "", std::nullopt},
      {"", "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = balloon_texts(c.app, c.summary, c.body);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.app << "/" << c.summary;
    if (got) {
      EXPECT_EQ(got->title, c.want->first);
      EXPECT_EQ(got->text, c.want->second);
    }
  }
}

TEST(NotificationLogLines, HeadingThenEachBodyLineWithoutCarriageReturn) {
  using V = std::vector<std::string>;
  EXPECT_EQ(notification_log_lines("mail", "Hi", "one\r\ntwo"),
            (V{"notification from mail: Hi", "  one", "  two"}));
  EXPECT_EQ(notification_log_lines("", "Hi", ""), (V{"notification: Hi"}));
  EXPECT_EQ(notification_log_lines("", "Hi", "a\n\nb\n"),
            (V{"notification: Hi", "  a", "  ", "  b"}));
  EXPECT_EQ(notification_log_lines("x", "", "a\r\r\n"), (V{"notification from x: ", "  a\r"}));
}

class TrayTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  EventLoopProxy proxy{sink};
  FakeTrayPlatform platform;
  std::optional<TrayIcon> tray;

  void add(std::string_view target = "tcp://host:10000/") {
    auto created = TrayIcon::create(platform, proxy, target);
    ASSERT_TRUE(created.ok()) << created.message();
    tray.emplace(std::move(created).value());
  }
};

TEST_F(TrayTest, IconCarriesTooltipMenuTitleAndPostsTrayExit) {
  add();
  EXPECT_EQ(platform.state->spec.tooltip, u"Nolv - tcp://host:10000/");
  EXPECT_EQ(platform.state->spec.menu_title, u"nolv @ tcp://host:10000/");
  EXPECT_TRUE(sink->take().empty());
  platform.state->spec.on_exit();
  auto events = sink->take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].items, (std::vector<Yaml>{Yaml::string("tray-exit"), Yaml::string("")}));
  // A failed post (the loop has gone) is ignored.
  sink->close();
  platform.state->spec.on_exit();
}

TEST_F(TrayTest, TooltipIsCutTo127UnitsButTheMenuTitleIsNot) {
  add(std::string(300, 'x'));
  EXPECT_EQ(platform.state->spec.tooltip.size(), 127u);
  EXPECT_EQ(platform.state->spec.tooltip.substr(0, 7), u"Nolv - ");
  EXPECT_EQ(platform.state->spec.menu_title.size(), 7u + 300u);
}

TEST_F(TrayTest, DropRemovesTheIconOnce) {
  add();
  EXPECT_TRUE(platform.state->present);
  std::optional<TrayIcon> moved = std::move(tray);
  tray.reset();  // a moved-from icon removes nothing
  EXPECT_TRUE(platform.state->present);
  moved.reset();
  EXPECT_FALSE(platform.state->present);
  EXPECT_EQ(platform.state->removed, 1);
}

TEST_F(TrayTest, CreationErrorIsTheReasonText) {
  platform.fail_with = "no system tray host is running";
  auto created = TrayIcon::create(platform, proxy, "t");
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.message(), "no system tray host is running");
}

TEST_F(TrayTest, BalloonsFollowTheNotificationRules) {
  add();
  show_notification(tray, show(6, "mail", "New mail", ""));
  show_notification(tray, show(7, "", "", ""));  // no text: nothing shown
  ASSERT_EQ(platform.state->balloons.size(), 1u);
  EXPECT_EQ(platform.state->balloons[0].title, u"mail");
  EXPECT_EQ(platform.state->balloons[0].text, u"New mail");
  EXPECT_EQ(tray->current_balloon, 6u);

  close_notification(tray, close(5));  // another id: nothing changes
  EXPECT_EQ(platform.state->withdrawn, 0);
  EXPECT_EQ(tray->current_balloon, 6u);
  close_notification(tray, close(6));
  EXPECT_EQ(platform.state->withdrawn, 1);
  EXPECT_FALSE(tray->current_balloon.has_value());
  close_notification(tray, close(6));  // already withdrawn
  EXPECT_EQ(platform.state->withdrawn, 1);
}

TEST_F(TrayTest, NewerBalloonReplacesTheIdAndAFailedOneLeavesItUnchanged) {
  add();
  show_notification(tray, show(1, "a", "s", "b"));
  show_notification(tray, show(2, "a", "s", "b"));
  EXPECT_EQ(tray->current_balloon, 2u);
  platform.state->balloons_fail = true;
  show_notification(tray, show(3, "a", "s", "b"));
  EXPECT_EQ(tray->current_balloon, 2u);
  close_notification(tray, close(1));
  EXPECT_EQ(platform.state->withdrawn, 0);
}

TEST_F(TrayTest, BalloonTextsAreCutTo255And63Units) {
  add();
  show_notification(tray, show(1, "app", std::string(100, 's'), std::string(400, 'b')));
  ASSERT_EQ(platform.state->balloons.size(), 1u);
  EXPECT_EQ(platform.state->balloons[0].title, std::u16string(63, u's'));
  EXPECT_EQ(platform.state->balloons[0].text, std::u16string(255, u'b'));
}

TEST_F(TrayTest, NotificationsWithoutATrayOrWithOddItemsDoNotFail) {
  show_notification(tray, show(1, "a", "s", "b"));
  close_notification(tray, close(1));
  add();
  // Items of other types read as empty texts and id 0.
  show_notification(tray,
                    packet({Yaml::string("notify_show"), Yaml::integer(0), Yaml::string("x"),
                            Yaml::integer(3), Yaml::null(), Yaml::null(), Yaml::string("s")}));
  ASSERT_EQ(platform.state->balloons.size(), 1u);
  EXPECT_EQ(platform.state->balloons[0].title, u"Nolv");
  EXPECT_EQ(tray->current_balloon, 0u);
  close_notification(tray, packet({Yaml::string("notify_close")}));
  EXPECT_EQ(platform.state->withdrawn, 1);
}

}  // namespace
}  // namespace nolv
