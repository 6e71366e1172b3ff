#include "client/clipboard.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "fakes/clipboard.h"
#include "fakes/event_sink.h"
#include "net/base64.h"
#include "util/text.h"

namespace nolv {
namespace {

using namespace std::chrono_literals;

Yaml s(std::string v) {
  return Yaml::string(std::move(v));
}
Yaml i(std::int64_t v) {
  return Yaml::integer(v);
}
std::string b64(std::string_view text) {
  return base64_encode(Bytes(text.begin(), text.end()));
}
Packet packet(std::vector<Yaml> items) {
  return Packet{std::move(items), {}, std::nullopt};
}

Yaml entry(std::string target, std::string encoding, std::string text) {
  return Yaml::array({s(target), i(8), s(std::move(encoding)), s(b64(text))});
}

class ClipboardSyncTest : public ::testing::Test {
 protected:
  void SetUp() override { set_enabled(true); }

  std::vector<Value> sent;
  ClipboardSync sync{[this](Value v) { sent.push_back(std::move(v)); }};

  void dispatch(std::vector<Yaml> items) {
    Packet p = packet(std::move(items));
    ASSERT_TRUE(sync.dispatch(p));
  }
  void set_enabled(bool on) { dispatch({s("set-clipboard-enabled"), Yaml::boolean(on)}); }
  static Value request() {
    return Value::array({"clipboard-request", 0, "CLIPBOARD", "UTF8_STRING"});
  }
};

TEST(Utf8Lossy, ReplacesEachInvalidSequence) {
  struct Case {
    std::string in, want;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain", "plain"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC0\xAF", r + r},          // overlong
      {"\xED\xA0\x80", r + r + r},  // a surrogate
      {"\xE2\x82", r},              // cut at the end: one replacement
      {"\xE2\x82"
       "a",
       r + "a"},
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xF0\x9F\x98", r},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.want) << c.in;
}

TEST(ClipboardDataBytes, EncodingAndPayloadRules) {
  Packet p = packet({s("x"), s("bytes"), s(b64("héllo"))});
  EXPECT_EQ(clipboard_data_bytes(p, 1, 2), "héllo");

  Packet other = packet({s("x"), s("base64"), s(b64("hello"))});
  EXPECT_EQ(clipboard_data_bytes(other, 1, 2), std::nullopt);

  Packet empty = packet({s("x"), s("bytes"), s("")});
  EXPECT_EQ(clipboard_data_bytes(empty, 1, 2), std::nullopt);

  Packet raw = packet({s("x"), s("bytes"), s("")});
  raw.chunks[2] = Bytes{'a', 0xFF};
  EXPECT_EQ(clipboard_data_bytes(raw, 1, 2), "a\xEF\xBF\xBD");

  Packet large = packet({s("x"), s("bytes"), s("")});
  large.chunks[2] = Bytes(kMaxClipboardText + 1, 'a');
  EXPECT_EQ(clipboard_data_bytes(large, 1, 2), std::nullopt);
  Packet limit = packet({s("x"), s("bytes"), s("")});
  limit.chunks[2] = Bytes(kMaxClipboardText, 'a');
  EXPECT_EQ(clipboard_data_bytes(limit, 1, 2)->size(), kMaxClipboardText);
}

TEST_F(ClipboardSyncTest, EnabledFlagFollowsBooleanAndIntegerItems) {
  const std::pair<Yaml, bool> cases[] = {
      {Yaml::boolean(false), false},
      {Yaml::boolean(true), true},
      {i(0), false},
      {i(2), true},
      {s("true"), false},
  };
  for (const auto& [item, want] : cases) {
    set_enabled(!want);
    dispatch({s("set-clipboard-enabled"), item});
    EXPECT_EQ(sync.enabled(), want) << to_string(item);
  }
  dispatch({s("clipboard-status"), Yaml::boolean(true)});
  EXPECT_TRUE(sync.enabled());
}

TEST_F(ClipboardSyncTest, TokenOfSevenItemsAsksAndOfEightTakesTheBytes) {
  dispatch({s("clipboard-token"), s("CLIPBOARD"), s("a"), s("b"), s("c"), s("d"), s("bytes")});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], request());
  sent.clear();

  dispatch({s("clipboard-token"), s("CLIPBOARD"), s("a"), s("b"), s("c"), s("d"), s("bytes"),
            s(b64("from server"))});
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(sync.text(), "from server");

  dispatch({s("clipboard-token"), s("CLIPBOARD"), s("a"), s("b"), s("c"), s("d"), s("latin1"),
            s(b64("other"))});
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(sync.text(), "from server");

  set_enabled(false);
  dispatch({s("clipboard-token"), s("CLIPBOARD")});
  EXPECT_TRUE(sent.empty());
}

TEST_F(ClipboardSyncTest, DataTakesTheFirstUsableTargetInTargetOrder) {
  // Keys in another order than the targets; the unusable UTF8_STRING entry is passed over.
  Yaml data = Yaml::hash({
      {s("text/plain"), entry("text/plain", "bytes", "plain text")},
      {s("STRING"), entry("STRING", "bytes", "")},
      {s("TEXT"), Yaml::array({s("TEXT"), i(8), s("bytes")})},
      {s("UTF8_STRING"), entry("UTF8_STRING", "utf8", "wrong encoding")},
      {s("text/plain;charset=utf-8"), entry("x", "bytes", "charset text")},
  });
  dispatch({s("clipboard-data"), s("CLIPBOARD"), Yaml::hash({{s("data"), data}})});
  EXPECT_EQ(sync.text(), "charset text");
  EXPECT_TRUE(sent.empty());

  Yaml only_plain = Yaml::hash({{s("text/plain"), entry("text/plain", "bytes", "plain")},
                                {s("UTF8_STRING"), s("not an array")}});
  dispatch({s("clipboard-data"), s("CLIPBOARD"), Yaml::hash({{s("data"), only_plain}})});
  EXPECT_EQ(sync.text(), "plain");
  EXPECT_TRUE(sent.empty());
}

TEST_F(ClipboardSyncTest, DataWithoutAUsableEntryAsksAgain) {
  const std::vector<std::vector<Yaml>> cases = {
      {s("clipboard-data"), s("CLIPBOARD")},
      {s("clipboard-data"), s("CLIPBOARD"), Yaml::hash({})},
      {s("clipboard-data"), s("CLIPBOARD"), s("data")},
      {s("clipboard-data"), s("CLIPBOARD"),
       Yaml::hash({{s("data"), Yaml::hash({{s("image/png"), entry("image/png", "bytes", "x")}})}})},
  };
  for (const auto& items : cases) {
    sent.clear();
    dispatch(items);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], request());
  }
  EXPECT_TRUE(sync.text().empty());
}

TEST_F(ClipboardSyncTest, RequestIsAnsweredForTheFiveTargetsOnlyWithAKnownText) {
  sync.set_clipboard_from_server("known");
  dispatch({s("clipboard-request"), i(42), s("CLIPBOARD"), s("TEXT")});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dump(), R"(["clipboard-contents",42,"CLIPBOARD","TEXT",8,"bytes","known"])");

  const Value none = Value::array({"clipboard-contents-none", 42, "CLIPBOARD"});
  sent.clear();
  dispatch({s("clipboard-request"), i(42), s("CLIPBOARD"), s("image/png")});
  dispatch({s("clipboard-request"), i(42), s("CLIPBOARD")});
  set_enabled(false);
  dispatch({s("clipboard-request"), i(42), s("CLIPBOARD"), s("TEXT")});
  set_enabled(true);
  sync.set_clipboard_from_server("");
  dispatch({s("clipboard-request"), i(42), s("CLIPBOARD"), s("UTF8_STRING")});
  ASSERT_EQ(sent.size(), 4u);
  for (const Value& v : sent) EXPECT_EQ(v, none);
}

TEST_F(ClipboardSyncTest, ContentsNeedSevenItemsAndBytes) {
  dispatch({s("clipboard-contents"), i(1), s("CLIPBOARD"), s("UTF8_STRING"), i(8), s("bytes")});
  EXPECT_TRUE(sync.text().empty());
  dispatch({s("clipboard-contents"), i(1), s("CLIPBOARD"), s("UTF8_STRING"), i(8), s("bytes"),
            s(b64("contents"))});
  EXPECT_EQ(sync.text(), "contents");
  set_enabled(false);
  dispatch({s("clipboard-contents"), i(1), s("CLIPBOARD"), s("UTF8_STRING"), i(8), s("bytes"),
            s(b64("later"))});
  EXPECT_EQ(sync.text(), "contents");
  EXPECT_TRUE(sent.empty());
}

TEST_F(ClipboardSyncTest, LocalChangeIsAnnouncedUnlessItEchoesTheServer) {
  dispatch({s("clipboard-token"), s("CLIPBOARD"), s("a"), s("b"), s("c"), s("d"), s("bytes"),
            s(b64("from server"))});
  dispatch({s("clipboard-changed"), s("from server")});
  dispatch({s("clipboard-changed"), s("")});
  EXPECT_TRUE(sent.empty());

  dispatch({s("clipboard-changed"), s("local \"copy\"")});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(
      sent[0].dump(),
      R"(["clipboard-data","CLIPBOARD",{"claim":true,"data":{"UTF8_STRING":["UTF8_STRING",8,"bytes","local \"copy\""]},"greedy":true,"targets":["UTF8_STRING","TEXT","STRING","text/plain;charset=utf-8","text/plain"]}])");
  EXPECT_EQ(sync.text(), "local \"copy\"");
  dispatch({s("clipboard-changed"), s("local \"copy\"")});
  EXPECT_EQ(sent.size(), 1u);

  set_enabled(false);
  dispatch({s("clipboard-changed"), s("while disabled")});
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(sync.text(), "local \"copy\"");
}

TEST_F(ClipboardSyncTest, OtherNamesAreNotClipboardPackets) {
  Packet p = packet({s("clipboard-pending-requests")});
  EXPECT_TRUE(sync.dispatch(p));
  Packet q = packet({s("draw")});
  EXPECT_FALSE(sync.dispatch(q));
  EXPECT_TRUE(sent.empty());
}

TEST_F(ClipboardSyncTest, StartRunsTheThreadOnceAndServerTextReachesTheLocalClipboard) {
  auto sink = std::make_shared<RecordingSink>();
  auto clipboard = std::make_shared<FakeClipboard>();
  set_enabled(false);
  sync.start(EventLoopProxy(sink), clipboard);
  ASSERT_TRUE(sync.started());
  EXPECT_TRUE(sync.enabled());

  dispatch({s("clipboard-token"), s("CLIPBOARD"), s("a"), s("b"), s("c"), s("d"), s("bytes"),
            s(b64("to local"))});
  ASSERT_TRUE(clipboard->wait_writes(1));
  EXPECT_EQ(clipboard->writes()[0], "to local");

  set_enabled(false);
  sync.start(EventLoopProxy(sink), clipboard);
  EXPECT_FALSE(sync.enabled());  // a second hello starts nothing
}

// The thread body, driven directly with a short poll.
class ClipboardThreadTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  FakeClipboard clipboard{"present at start"};
  Sender<ClipboardCommand> channel;
  std::jthread thread;
  // Ready once the thread's body has returned by itself.
  std::future<void> ended;

  void start(std::chrono::steady_clock::duration poll = 10ms) {
    auto opened = Channel<ClipboardCommand>::open();
    channel = std::move(opened.sender);
    std::promise<void> end;
    ended = end.get_future();
    thread = std::jthread([this, poll, receiver = std::move(opened.receiver),
                           end = std::move(end)](std::stop_token stop) mutable {
      clipboard_thread(std::move(receiver), EventLoopProxy(sink), clipboard, stop, poll);
      end.set_value();
    });
  }
  // Whether the thread ends by itself, without a stop request, within a few seconds; the
  // fixture's jthread asks a thread that did not to stop.
  bool ends_by_itself() { return ended.wait_for(5s) == std::future_status::ready; }
  // Lets the thread poll a few more times.
  void polls(int n) { ASSERT_TRUE(clipboard.wait_reads(clipboard.reads() + n)); }
  std::vector<std::string> announced() {
    std::vector<std::string> texts;
    for (Packet& p : sink->take()) {
      EXPECT_EQ(packet_get_str(p.items, 0), "clipboard-changed");
      texts.push_back(packet_get_str(p.items, 1));
    }
    return texts;
  }
  void TearDown() override { channel.close(); }
};

TEST_F(ClipboardThreadTest, StartTextIsNotAnnouncedButEachLaterChangeOnce) {
  start();
  polls(3);
  EXPECT_TRUE(announced().empty());
  clipboard.copy("copied");
  polls(3);
  clipboard.copy("copied");
  polls(3);
  clipboard.copy(std::nullopt);  // no text: nothing
  polls(2);
  clipboard.copy("");
  polls(2);
  clipboard.copy("copied");  // same as `last`
  polls(2);
  clipboard.copy("second");
  polls(3);
  EXPECT_EQ(announced(), (std::vector<std::string>{"copied", "second"}));
}

TEST_F(ClipboardThreadTest, WrittenTextIsNotSentBackAndQueuedCommandsAllApply) {
  start();
  polls(1);
  ASSERT_EQ(channel.send({"one"}), SendOutcome::Sent);
  ASSERT_EQ(channel.send({"two"}), SendOutcome::Sent);
  ASSERT_TRUE(clipboard.wait_writes(2));
  polls(3);
  EXPECT_EQ(clipboard.writes(), (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(announced().empty());
}

TEST_F(ClipboardThreadTest, FailedWriteLeavesLastSoTheClipboardIsAnnounced) {
  start();
  polls(1);
  clipboard.set_write_fails(true);
  ASSERT_EQ(channel.send({"from server"}), SendOutcome::Sent);
  polls(3);
  EXPECT_TRUE(clipboard.writes().empty());
  // Had the failed text become `last`, this copy by another program would go unannounced.
  clipboard.copy("from server");
  polls(3);
  EXPECT_EQ(announced(), (std::vector<std::string>{"from server"}));
}

TEST_F(ClipboardThreadTest, OversizedLocalTextIsNotAnnounced) {
  start();
  polls(1);
  clipboard.copy(std::string(kMaxClipboardText + 1, 'x'));
  polls(3);
  clipboard.copy("small");
  polls(3);
  EXPECT_EQ(announced(), (std::vector<std::string>{"small"}));
}

TEST_F(ClipboardThreadTest, EndsWhenTheChannelClosesOrPostingFails) {
  start();
  polls(1);
  channel.close();
  ASSERT_TRUE(ends_by_itself()) << "the thread kept polling after its channel closed";
  thread.join();

  sink->close();
  start();
  polls(1);
  clipboard.copy("nobody listens");
  ASSERT_TRUE(ends_by_itself()) << "the thread kept polling after a post failed";
  thread.join();
}

TEST_F(ClipboardThreadTest, ACommandOrACloseWakesTheWaitBetweenPolls) {
  start(std::chrono::hours(1));
  ASSERT_TRUE(clipboard.wait_reads(1));  // the read at start; the next poll is an hour away
  ASSERT_EQ(channel.send({"at once"}), SendOutcome::Sent);
  ASSERT_TRUE(clipboard.wait_writes(1));
  channel.close();
  thread.join();
  // A stop request wakes it as well.
  start(std::chrono::hours(1));
  ASSERT_TRUE(clipboard.wait_reads(2));
  thread.request_stop();
  thread.join();
}

}  // namespace
}  // namespace nolv
