// The tray and clipboard rows of the session, driven through the dispatcher.
#include <gtest/gtest.h>

#include "fakes/clipboard.h"
#include "fakes/tray.h"
#include "net/base64.h"
#include "session_fixture.h"

namespace nolv {
namespace {

using Json = nlohmann::json;

class TraySessionTest : public SessionTest {
 protected:
  TraySessionTest() { services.tray_platform = platform; }
  std::shared_ptr<FakeTrayPlatform> platform = std::make_shared<FakeTrayPlatform>();
};

TEST_F(TraySessionTest, FailedTrayIsTriedAgainAndItsExitEndsTheSession) {
  platform->fail_with = "no system tray host is running";
  Status first = client->create_tray_icon();
  ASSERT_FALSE(first.ok());
  EXPECT_EQ(first.message(), "no system tray host is running");
  EXPECT_FALSE(client->tray.has_icon());

  platform->fail_with.reset();
  ASSERT_TRUE(client->create_tray_icon().ok());
  ASSERT_TRUE(client->create_tray_icon().ok());
  EXPECT_EQ(platform->attempts, 2);
  EXPECT_EQ(platform->state->spec.tooltip, u"Nolv - tcp://127.0.0.1:1/");

  platform->state->spec.on_exit();
  std::vector<Packet> posted = sink->take();
  ASSERT_EQ(posted.size(), 1u);
  const std::string name = packet_get_str(posted[0].items, 0);
  EXPECT_EQ(name, "tray-exit");
  client->dispatch_packet(loop, name, std::move(posted[0]));
  EXPECT_EQ(peer.next(), Json::parse(R"(["connection-close","client exit"])"));
  EXPECT_EQ(client->exit_code, ExitCode::Ok);

  client.reset();  // dropping the Client removes the icon
  EXPECT_FALSE(platform->state->present);
}

TEST_F(SessionTest, WithoutATrayPlatformCreationFails) {
  Status created = client->create_tray_icon();
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.message(), "no system tray on this platform");
  EXPECT_FALSE(client->tray.has_icon());
}

TEST_F(TraySessionTest, NotificationIsLoggedLineByLineAndShownAsABalloon) {
  ASSERT_TRUE(client->create_tray_icon().ok());
  LogCapture capture;
  dispatch({S("notification-show"), I(0), I(6), S("mail"), I(0), S(""), S("New mail"),
            S("first\r\nsecond")});
  dispatch({S("notification-close"), I(5)});
  dispatch({S("notification-close"), I(6)});
  const auto lines = capture.take_lines();
  EXPECT_TRUE(any_line_has(lines, "INFO  [nolv::client::client] notification from mail: New mail"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::client]   first"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::client]   second"));
  EXPECT_FALSE(any_line_has(lines, "\r"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::tray] notification 6 shown as a tray balloon"));
  EXPECT_TRUE(
      any_line_has(lines, "[nolv::client::tray] withdrawing the tray balloon for notification 6"));
  ASSERT_EQ(platform->state->balloons.size(), 1u);
  EXPECT_EQ(platform->state->balloons[0].title, u"New mail");
  EXPECT_EQ(platform->state->balloons[0].text, u"first\r\nsecond");
  EXPECT_EQ(platform->state->withdrawn, 1);
}

TEST_F(SessionTest, ClipboardRoundTripThroughTheDispatcherAndTheThread) {
  auto clipboard = std::make_shared<FakeClipboard>(std::string("present at start"));
  client->clipboard_access = clipboard;
  client->start_clipboard_sync();
  ASSERT_TRUE(client->clipboard_sync.started());
  EXPECT_TRUE(client->clipboard_sync.enabled());

  // The server's text goes to the local clipboard; the thread does not announce it back.
  const std::string text = "from the server";
  dispatch({S("clipboard-token"), S("CLIPBOARD"), S("a"), S("b"), S("c"), S("d"), S("bytes"),
            S(base64_encode(Bytes(text.begin(), text.end())))});
  ASSERT_TRUE(clipboard->wait_writes(1));
  ASSERT_TRUE(clipboard->wait_reads(clipboard->reads() + 2));
  dispatch({S("clipboard-request"), I(3), S("CLIPBOARD"), S("UTF8_STRING")});
  EXPECT_EQ(peer.next(), Json::parse(
                             R"(["clipboard-contents",3,"CLIPBOARD","UTF8_STRING",8,"bytes",
                                 "from the server"])"));

  // A local copy comes back as "clipboard-changed", which the dispatcher turns into data.
  clipboard->copy("copied here");
  std::optional<Packet> changed;
  for (int i = 0; i < 50 && !changed; ++i) {
    for (Packet& p : sink->take()) {
      if (packet_get_str(p.items, 0) == "clipboard-changed") changed = std::move(p);
    }
    if (!changed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(packet_get_str(changed->items, 1), "copied here");
  client->dispatch_packet(loop, "clipboard-changed", std::move(*changed));
  auto data = peer.next();
  ASSERT_TRUE(data.has_value());
  EXPECT_EQ((*data)[0], "clipboard-data");
  EXPECT_EQ((*data)[2]["data"]["UTF8_STRING"][3], "copied here");
  EXPECT_EQ(client->clipboard_sync.text(), "copied here");
}

}  // namespace
}  // namespace nolv
