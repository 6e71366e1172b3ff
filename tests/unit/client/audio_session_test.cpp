#include <gtest/gtest.h>

#include "client/audio_output.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using nlohmann::json;

Bytes head(std::uint8_t channels = 2, std::uint8_t family = 0) {
  Bytes h = {'O',  'p',  'u',  's',  'H', 'e', 'a', 'd', 1,     channels,
             0x38, 0x01, 0x80, 0xBB, 0,   0,   0,   0,   family};
  return h;
}
std::string base64_of(const Bytes& b) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < b.size(); i += 3) {
    const unsigned v = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
    for (int s : {18, 12, 6, 0}) out += abc[(v >> s) & 63];
  }
  if (i + 1 == b.size()) {
    const unsigned v = b[i] << 16;
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == b.size()) {
    const unsigned v = (b[i] << 16) | (b[i + 1] << 8);
    for (int s : {18, 12, 6}) out += abc[(v >> s) & 63];
    out += '=';
  }
  return out;
}

// A session whose audio worker is the test: it keeps the worker's end of the channel.
class AudioSessionTest : public SessionTest {
 protected:
  void SetUp() override {
    ensure_test_logger();
    auto holder = held;
    client =
        Client::create(ClientContext{EventLoopProxy(sink),
                                     {},
                                     slot,
                                     {{},
                                      [holder](AudioWorkerContext context) {
                                        // Kept before the probe answers, so that the test
                                        // thread, which waits for the answer, finds it in place.
                                        AudioProbeSender probe = context.probe;
                                        holder->emplace(std::move(context));
                                        probe({});
                                      },
                                      {}}},
                       peer.make_transport(), "tcp://127.0.0.1:1/", std::nullopt, std::nullopt);
    ASSERT_TRUE(client->audio_worker);
  }
  void TearDown() override {
    client.reset();
    held->reset();
  }
  void hello(Yaml caps) { dispatch({S("hello"), std::move(caps)}); }
  // Negotiated, with av-sync on unless told otherwise.
  void negotiate(bool av_sync = true) {
    hello(H({{"audio", H({{"async", B(true)}})}, {"av-sync", H({{"enabled", B(av_sync)}})}}));
    dispatch({S("audio-capabilities"), H({{"send", B(true)}, {"encoders", A({S("opus")})}})});
    ASSERT_TRUE(client->speaker_forwarding);
    (void)peer.drain();
  }
  std::vector<AudioCommand> commands() {
    std::vector<AudioCommand> out;
    while (auto c = (*held)->commands.try_recv().value) out.push_back(std::move(*c));
    return out;
  }
  // The kinds of the queued commands with their sequences: "reset 5", "header 5", "packet 5".
  std::vector<std::string> command_names() {
    std::vector<std::string> out;
    for (AudioCommand& c : commands()) {
      std::visit(
          [&](auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, audio_command::Packet>) {
              out.push_back(fmt::format("packet {} {}", v.sequence, v.data.size()));
            } else if constexpr (std::is_same_v<T, audio_command::Reset>) {
              out.push_back(fmt::format("reset {}", v.sequence));
            } else if constexpr (std::is_same_v<T, audio_command::Header>) {
              out.push_back(fmt::format("header {}", v.sequence));
            } else if constexpr (std::is_same_v<T, audio_command::Stop>) {
              out.push_back(fmt::format("stop {}", v.sequence));
            } else {
              out.push_back("shutdown");
            }
          },
          c);
    }
    return out;
  }
  void data(std::string codec, Yaml meta, Bytes payload = {}, std::optional<Yaml> extra = {}) {
    Packet p = packet_of({S("audio-data"), S(std::move(codec)), S(""), std::move(meta)});
    if (extra) p.items.push_back(std::move(*extra));
    if (!payload.empty()) p.chunks[2] = std::move(payload);
    client->dispatch_packet(loop, "audio-data", std::move(p));
  }
  Yaml start_meta(std::int64_t sequence) {
    return H({{"sequence", I(sequence)}, {"start-of-stream", B(true)}});
  }

  std::shared_ptr<std::optional<AudioWorkerContext>> held =
      std::make_shared<std::optional<AudioWorkerContext>>();
};

TEST_F(AudioSessionTest, HelloOffersAudioAndTheServerHelloSendsCapabilitiesOnce) {
  const Value caps = hello_capabilities(*client, std::nullopt);
  EXPECT_EQ(caps["audio"], json({{"async", true}}));
  EXPECT_EQ(caps["av-sync"].dump(), R"({"":true,"delay":120,"delay.default":120,"enabled":true})");

  hello(H({{"audio", H({{"async", I(1)}})}, {"av-sync", H({{"", B(true)}})}}));
  std::vector<json> sent = peer.drain();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(
      sent.back().dump(),
      R"(["audio-capabilities",{"decoders":["opus"],"encoders":[],"receive":true,"send":false}])");
  EXPECT_TRUE(client->audio_caps_sent);
  EXPECT_TRUE(client->av_sync_enabled);  // the empty key stands in for "enabled"
  hello(H({{"audio", H({{"async", B(true)}})}}));
  for (const json& p : peer.drain()) EXPECT_NE(p[0], "audio-capabilities");
}

TEST_F(AudioSessionTest, ServerHellosThatNegotiateNothing) {
  const std::pair<const char*, Yaml> cases[] = {
      {"no audio", H({})},
      {"async false", H({{"audio", H({{"async", B(false)}})}})},
      {"audio not a map", H({{"audio", B(true)}})},
  };
  for (const auto& [name, caps] : cases) {
    SetUp();
    hello(caps);
    for (const json& p : peer.drain()) EXPECT_NE(p[0], "audio-capabilities") << name;
    EXPECT_FALSE(client->audio_caps_sent) << name;
  }
  SetUp();
  hello(H({{"audio", H({{"async", B(true)}})}, {"av-sync", B(true)}}));
  EXPECT_TRUE(client->audio_caps_sent);
  EXPECT_FALSE(client->av_sync_enabled);
}

TEST_F(AudioSessionTest, CapabilitiesNeedSendAndAnExactOpusEncoder) {
  LogCapture capture;
  dispatch({S("audio-capabilities")});
  const std::pair<const char*, Yaml> refused[] = {
      {"send false", H({{"send", B(false)}, {"encoders", A({S("opus")})}})},
      {"upper case", H({{"send", B(true)}, {"encoders", A({S("OPUS")})}})},
      {"not a list", H({{"send", B(true)}, {"encoders", S("opus")}})},
      {"not strings", H({{"send", I(1)}, {"encoders", A({I(1), B(true)})}})},
  };
  hello(H({{"audio", H({{"async", B(true)}})}, {"av-sync", H({{"enabled", B(true)}})}}));
  (void)peer.drain();
  for (const auto& [name, caps] : refused) {
    dispatch({S("audio-capabilities"), caps});
    EXPECT_FALSE(client->speaker_forwarding) << name;
  }
  EXPECT_TRUE(peer.drain().empty());
  dispatch({S("audio-capabilities"), H({{"send", I(2)}, {"encoders", A({I(3), S("opus")})}})});
  EXPECT_TRUE(client->speaker_forwarding);
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","start","opus"])",
                                            R"(["audio-control","sync",0])"}));
  const auto lines = capture.take_lines();
  EXPECT_TRUE(any_line_has(
      lines, "WARN  [nolv::client::client] ignoring malformed audio-capabilities packet"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("server cannot send bare Opus audio") !=
                                   std::string::npos;
                          }),
            4);
  EXPECT_TRUE(
      any_line_has(lines, "INFO  [nolv::client::client] Opus speaker forwarding negotiated"));
}

TEST_F(AudioSessionTest, AStreamQueuesResetHeaderAndPacketsAndEndsWithANewSequence) {
  negotiate();
  const Bytes opus_packet = {0xF8, 1, 2, 3};
  // OpusHead and OpusTags as extra payloads, the packet as raw chunk 2.
  const Bytes tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's', 0};
  data("opus", start_meta(5), opus_packet, A({S(base64_of(head())), S(base64_of(tags))}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"reset 5", "header 5", "packet 5 4"}));
  EXPECT_EQ(client->audio_sequence, 5u);
  ASSERT_EQ(peer.drain().size(), 1u);  // "sync" 0 at the stream's start
  EXPECT_TRUE(client->opus_head_seen);

  data("opus", H({{"sequence", I(4)}}), opus_packet);  // old sequence
  audio_command::Packet timed;
  data("opus", H({{"timestamp", I(7000)}, {"duration", I(20000000)}}), opus_packet);
  auto cs = commands();
  ASSERT_EQ(cs.size(), 1u);
  timed = std::get<audio_command::Packet>(cs[0]);
  EXPECT_EQ(timed.timestamp, 7000u);
  EXPECT_EQ(timed.duration, 20000000u);
  EXPECT_EQ(timed.sequence, 5u);

  data("opus", H({{"end-of-stream", I(1)}}), opus_packet);
  EXPECT_EQ(command_names(), (std::vector<std::string>{"stop 5"}));
  EXPECT_EQ(client->audio_sequence, 6u);
  EXPECT_FALSE(client->audio_stream_active);
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","new-sequence",6])"}));

  data("opus", H({}), opus_packet);  // outside a stream
  data("opus", H({{"end-of-stream", B(true)}}));
  EXPECT_TRUE(commands().empty());
}

TEST_F(AudioSessionTest, StreamStartRules) {
  LogCapture capture;
  negotiate();
  // Start and end in one packet: reset then stop, one new-sequence, payloads dropped.
  data("opus", H({{"sequence", I(3)}, {"start-of-stream", B(true)}, {"end-of-stream", B(true)}}),
       {0xF8}, A({S(base64_of(head()))}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"reset 3", "stop 3"}));
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","sync",0])",
                                            R"(["audio-control","new-sequence",4])"}));

  // The metadata codec starts the stream; item 1 then stops it.
  data("vorbis", H({{"start-of-stream", B(true)}, {"codec", S("opus")}}), {0xF8});
  EXPECT_EQ(command_names(), (std::vector<std::string>{"reset 4", "stop 4"}));
  sent.clear();
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{
                      R"(["audio-control","sync",0])", R"(["audio-control","stop",4])",
                      R"(["audio-control","new-sequence",5])", R"(["audio-control","sync",0])"}));

  data("opus", H({{"start-of-stream", B(true)}, {"codec", S("mp3")}}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"stop 5"}));
  EXPECT_EQ(client->audio_sequence, 6u);

  // Before the OpusHead, Opus packets are dropped one by one and the later payloads still fed.
  data("opus", start_meta(6), {0xF8, 9}, A({S(base64_of({0xF8})), S(base64_of(head()))}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"reset 6", "header 6", "packet 6 2"}));

  // A bad OpusHead restarts and drops the rest of the packet.
  data("opus", H({}), {0xF8}, A({S(base64_of(head(3))), S(base64_of({0xF8}))}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"stop 6"}));
  EXPECT_EQ(client->audio_sequence, 7u);

  // An oversized Opus packet never reaches the worker.
  data("opus", start_meta(7), Bytes(kMaxOpusPacketBytes + 1, 0xF8), A({S(base64_of(head()))}));
  EXPECT_EQ(command_names(), (std::vector<std::string>{"reset 7", "header 7"}));

  Packet short_packet = packet_of({S("sound-data"), S("opus"), S("")});
  client->dispatch_packet(loop, "sound-data", std::move(short_packet));

  const auto lines = capture.take_lines();
  EXPECT_TRUE(any_line_has(lines, "audio codec changed from opus to vorbis; stopping the stream"));
  EXPECT_TRUE(any_line_has(lines, "rejecting audio stream: unsupported audio codec mp3"));
  EXPECT_TRUE(any_line_has(lines, "dropping Opus payload received before OpusHead"));
  EXPECT_TRUE(any_line_has(
      lines, "invalid Opus stream header: Opus mapping family 0 only supports mono or stereo"));
  EXPECT_TRUE(any_line_has(lines,
                           "ignoring malformed audio-data packet: audio-data packet has "
                           "fewer than four fields"));
}

TEST_F(AudioSessionTest, TheSequenceSaturatesAtItsLargestValue) {
  negotiate(false);
  client->audio_sequence = std::numeric_limits<std::uint64_t>::max();
  data("opus", H({{"start-of-stream", B(true)}}));
  data("opus", H({{"end-of-stream", B(true)}}));
  EXPECT_EQ(client->audio_sequence, std::numeric_limits<std::uint64_t>::max());
  const std::vector<json> sent = peer.drain();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dump(), R"(["audio-control","new-sequence",18446744073709551615])");
}

TEST_F(AudioSessionTest, AvSyncReportsLatencyMovesOf40msOrMore) {
  negotiate();
  data("opus", start_meta(1));
  (void)peer.drain();  // "sync" 0 again at the stream's start
  for (std::int64_t ms : {100, 120, 139, 141}) dispatch({S("audio-latency"), I(ms)});
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","sync",100])",
                                            R"(["audio-control","sync",141])"}));
  // Server packets of the internal names: one without its item changes nothing, a
  // non-Integer latency reads as 0.
  dispatch({S("audio-latency")});
  dispatch({S("audio-worker-failed")});
  EXPECT_TRUE(peer.drain().empty());
  EXPECT_TRUE(client->audio_worker);
  dispatch({S("audio-latency"), S("x")});
  sent.clear();
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","sync",0])"}));
}

TEST_F(AudioSessionTest, AFullQueueDropsDataOnceWarnedAndDisablesOnControl) {
  LogCapture capture;
  negotiate();
  data("opus", start_meta(1), {0xF8}, A({S(base64_of(head()))}));
  for (int i = 0; i < 100; ++i) data("opus", H({}), {0xF8});
  EXPECT_TRUE(client->speaker_forwarding);
  EXPECT_EQ(commands().size(), kAudioChannelCapacity);
  for (std::size_t i = 0; i < kAudioChannelCapacity; ++i) data("opus", H({}), {0xF8});
  data("opus", start_meta(2));  // the reset finds the queue full
  EXPECT_FALSE(client->speaker_forwarding);
  EXPECT_FALSE(client->audio_worker);
  const auto lines = capture.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find(
                                       "audio worker queue is full; dropping audio packets "
                                       "until it catches up") != std::string::npos;
                          }),
            1);
  EXPECT_TRUE(any_line_has(lines,
                           "speaker forwarding disabled for this session: audio worker "
                           "queue was full while queuing reset"));
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], R"(["audio-control","stop",2])");
  EXPECT_EQ(sent.back(), R"(["audio-control","new-sequence",3])");
}

TEST_F(AudioSessionTest, AFailedWorkerDisablesSpeakerForwardingForTheSession) {
  LogCapture capture;
  negotiate();
  auto running = client->audio_worker->running();
  dispatch({S("audio-worker-failed"), S("Opus decoder: corrupted stream")});
  EXPECT_FALSE(client->audio_worker);
  EXPECT_FALSE(client->speaker_forwarding);
  EXPECT_FALSE(running->load());
  // The dropped handle asked the worker to shut down.
  auto queued = commands();
  ASSERT_FALSE(queued.empty());
  EXPECT_TRUE(std::holds_alternative<audio_command::Shutdown>(queued.back()));
  std::vector<std::string> sent;
  for (const json& p : peer.drain()) sent.push_back(p.dump());
  EXPECT_EQ(sent, (std::vector<std::string>{R"(["audio-control","stop",0])",
                                            R"(["audio-control","new-sequence",1])"}));
  data("opus", start_meta(5));
  dispatch({S("audio-worker-failed"), S("again")});
  dispatch({S("audio-capabilities"), H({{"send", B(true)}, {"encoders", A({S("opus")})}})});
  EXPECT_TRUE(peer.drain().empty());
  EXPECT_FALSE(client->speaker_forwarding);
  const auto lines = capture.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("speaker forwarding disabled for this session") !=
                                   std::string::npos;
                          }),
            1);
  EXPECT_TRUE(any_line_has(lines,
                           "WARN  [nolv::client::client] speaker forwarding disabled for "
                           "this session: Opus decoder: corrupted stream"));
}

TEST_F(AudioSessionTest, AStoppedWorkerDisablesOnTheNextCommand) {
  LogCapture capture;
  negotiate();
  held->reset();  // the worker's end of the channel is gone
  data("opus", start_meta(1));
  EXPECT_FALSE(client->audio_worker);
  EXPECT_TRUE(any_line_has(capture.take_lines(),
                           "speaker forwarding disabled for this session: audio worker stopped "
                           "while queuing reset"));
}

TEST(AudioProbeSession, AFailedProbeLeavesTheSessionWithoutSpeakerForwarding) {
  SocketPeer peer;
  LogCapture capture;
  auto client = Client::create(
      ClientContext{EventLoopProxy(), {}, nullptr, {{}, audio_worker_body(nullptr), {}}},
      peer.make_transport(), "t", std::nullopt, std::nullopt);
  EXPECT_TRUE(any_line_has(capture.take_lines(),
                           "WARN  [nolv::client::client] speaker forwarding unavailable: "));
  EXPECT_FALSE(client->audio_worker);
  EXPECT_FALSE(hello_capabilities(*client, std::nullopt).contains("audio"));
  EXPECT_FALSE(hello_capabilities(*client, std::nullopt).contains("av-sync"));
}

}  // namespace
}  // namespace nolv
