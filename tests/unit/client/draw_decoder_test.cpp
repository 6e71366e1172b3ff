#include "client/draw_decoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "net/backlog.h"
#include "unit/client/picture_fixtures.h"

namespace nolv {
namespace {

using test::make_draw;
using test::near;
using test::pixel_at;
using test::read_picture;

bool any_line_has(const std::vector<std::string>& lines, std::string_view text) {
  for (const std::string& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string item_string(const Packet& p, std::size_t i) {
  const std::string* s = p.items.at(i).as_string();
  return s != nullptr ? *s : "<not a string>";
}

struct QuadCase {
  const char* coding;
  const char* file;
  bool rgba;  // png: R, G, B, A; the others B, G, R, A
  int tolerance;
};

void PrintTo(const QuadCase& c, std::ostream* os) {
  *os << c.coding << " " << c.file;
}

class QuadPictures : public ::testing::TestWithParam<QuadCase> {};

TEST_P(QuadPictures, DecodeToFourBytesPerPixelInTheCodingsOrder) {
  const QuadCase& c = GetParam();
  H264DecoderMap decoders;
  Packet draw = make_draw(3, 32, 32, c.coding, read_picture(c.file), 42);
  Packet result = decode_draw(draw, decoders);

  ASSERT_EQ(item_string(result, 0), "draw-decoded");
  ASSERT_TRUE(result.decode_time_us.has_value());
  ASSERT_EQ(result.chunks.size(), 1u);
  const Bytes& pixels = result.chunks.at(7);
  ASSERT_EQ(pixels.size(), 32u * 32u * 4u);
  // Item 7 is still the draw's own value; the pixels are found through raw chunk 7.
  EXPECT_EQ(item_string(result, 7), "");
  EXPECT_EQ(result.items.at(8).as_integer(), 42);
  EXPECT_EQ(result.items.at(1).as_integer(), 3);

  struct Expect {
    int x, y, r, g, b;
  };
  for (const Expect& e : {Expect{4, 4, 255, 0, 0}, Expect{27, 4, 0, 255, 0},
                          Expect{4, 27, 0, 0, 255}, Expect{27, 27, 255, 255, 255}}) {
    auto px = pixel_at(pixels, 32, e.x, e.y);
    const int r = c.rgba ? px[0] : px[2];
    const int b = c.rgba ? px[2] : px[0];
    EXPECT_TRUE(near(r, e.r, c.tolerance) && near(px[1], e.g, c.tolerance) &&
                near(b, e.b, c.tolerance))
        << c.coding << " at " << e.x << "," << e.y << ": " << px[0] << " " << px[1] << " " << px[2];
  }
}

INSTANTIATE_TEST_SUITE_P(Codings, QuadPictures,
                         ::testing::Values(QuadCase{"jpeg", "quad.jpg", false, 8},
                                           QuadCase{"png", "quad.png", true, 0},
                                           QuadCase{"webp", "quad.webp", false, 0}),
                         [](const ::testing::TestParamInfo<QuadCase>& test_case) {
                           return std::string(test_case.param.coding);
                         });

TEST(DecodeDraw, PngOfAnotherSizeThanTheDrawKeepsItsOwnPixels) {
  H264DecoderMap decoders;
  Packet draw = make_draw(1, 10, 10, "png", read_picture("quad.png"));
  Packet result = decode_draw(draw, decoders);
  ASSERT_EQ(item_string(result, 0), "draw-decoded");
  EXPECT_EQ(result.chunks.at(7).size(), 32u * 32u * 4u);
}

// A draw's items may take far more memory than its pixels; they stay in the session's budget
// until the decoded picture is dropped, failed or not.
TEST(DecodeDraw, TheResultKeepsTheDrawsChargeUntilDropped) {
  for (const char* coding : {"png", "jpeg"}) {  // decoded; the same bytes as jpeg fail
    SCOPED_TRACE(coding);
    H264DecoderMap decoders;
    auto backlog = std::make_shared<Backlog>(1 << 20, 10);
    std::optional<Packet> result;
    {
      Packet draw = make_draw(1, 32, 32, coding, read_picture("quad.png"));
      draw.charge = BacklogCharge(backlog, 5000, 1);
      result = decode_draw(draw, decoders);
    }
    EXPECT_EQ(backlog->waiting(), 5000u);
    EXPECT_EQ(backlog->waiting_draws(), 1u);
    result.reset();
    EXPECT_EQ(backlog->waiting(), 0u);
    EXPECT_EQ(backlog->waiting_draws(), 0u);
  }
}

TEST(DecodeDraw, DataGivenAsBase64TextDecodes) {
  H264DecoderMap decoders;
  Packet draw = make_draw(1, 32, 32, "webp", {});
  draw.chunks.clear();
  // quad.webp, 64 bytes, as the item's base64 text.
  const Bytes webp = read_picture("quad.webp");
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < webp.size(); i += 3) {
    const std::uint32_t n = (webp[i] << 16) | (i + 1 < webp.size() ? webp[i + 1] << 8 : 0) |
                            (i + 2 < webp.size() ? webp[i + 2] : 0);
    text += kAlphabet[(n >> 18) & 63];
    text += kAlphabet[(n >> 12) & 63];
    text += i + 1 < webp.size() ? kAlphabet[(n >> 6) & 63] : '=';
    text += i + 2 < webp.size() ? kAlphabet[n & 63] : '=';
  }
  draw.items[7] = Yaml::string(text);
  Packet result = decode_draw(draw, decoders);
  ASSERT_EQ(item_string(result, 0), "draw-decoded");
  EXPECT_EQ(result.chunks.at(7).size(), 32u * 32u * 4u);
}

// A JPEG whose frame header announces another height (the SOF0 height field patched).
// quad.jpg with its frame header announcing another size (0 keeps that side).
Bytes jpeg_with_size(std::uint16_t width, std::uint16_t height) {
  Bytes jpeg = read_picture("quad.jpg");
  for (std::size_t i = 0; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) {
      if (height != 0) {
        jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
        jpeg[i + 6] = static_cast<std::uint8_t>(height);
      }
      if (width != 0) {
        jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
        jpeg[i + 8] = static_cast<std::uint8_t>(width);
      }
      return jpeg;
    }
  }
  std::abort();
}

std::uint32_t crc32(const Bytes& data, std::size_t from, std::size_t to) {
  std::uint32_t crc = 0xffffffffu;
  for (std::size_t i = from; i < to; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put_be32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

// A PNG signature and a valid IHDR of width x 1, RGBA: nothing else.
Bytes png_header_only(std::uint32_t width, std::uint32_t height = 1) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  put_be32(png, 13);
  const std::size_t type_at = png.size();
  png.insert(png.end(), {'I', 'H', 'D', 'R'});
  put_be32(png, width);
  put_be32(png, height);
  png.insert(png.end(), {8, 6, 0, 0, 0});
  put_be32(png, crc32(png, type_at, png.size()));
  return png;
}

Bytes cut(Bytes data, std::size_t keep) {
  data.resize(keep);
  return data;
}

struct FailureCase {
  const char* name;
  std::string coding;
  Bytes data;
  std::string message_prefix;
  bool exact;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.coding << " draw of " << c.data.size() << " bytes";
}

class DecodeFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DecodeFailures, BecomeDecodingFailedWithTheMessageInItem7) {
  const FailureCase& c = GetParam();
  H264DecoderMap decoders;
  Packet draw = make_draw(9, 32, 32, c.coding, c.data, 5);
  Packet result = decode_draw(draw, decoders);
  ASSERT_EQ(item_string(result, 0), "decoding-failed");
  const std::string message = item_string(result, 7);
  if (c.exact) {
    EXPECT_EQ(message, c.message_prefix);
  } else {
    EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
    EXPECT_GT(message.size(), c.message_prefix.size()) << "the library's text is missing";
  }
  EXPECT_TRUE(result.chunks.empty());
  EXPECT_FALSE(result.decode_time_us.has_value());
  EXPECT_EQ(result.items.at(8).as_integer(), 5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeFailures,
    ::testing::Values(
        FailureCase{"jpeg_garbage", "jpeg", Bytes{'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'},
                    "invalid jpeg header: ", false},
        FailureCase{"jpeg_empty", "jpeg", Bytes{}, "invalid jpeg header: ", false},
        FailureCase{"jpeg_truncated", "jpeg", cut(read_picture("quad.jpg"), 300),
                    "jpeg decoding failed: ", false},
        FailureCase{"jpeg_too_tall", "jpeg", jpeg_with_size(0, 20000),
                    "invalid jpeg header: picture of 32x20000 exceeds the limit of 16384 pixels "
                    "a side",
                    true},
        FailureCase{"jpeg_too_many_pixels", "jpeg", jpeg_with_size(10000, 10000),
                    "invalid jpeg header: picture of 10000x10000 exceeds the limit of 67108864 "
                    "pixels",
                    true},
        FailureCase{"png_too_many_pixels", "png", png_header_only(9000, 9000),
                    "invalid png image size: picture of 9000x9000 exceeds the limit of 67108864 "
                    "pixels",
                    true},
        FailureCase{"png_garbage", "png", Bytes(40, 0x55), "invalid png image size: ", false},
        FailureCase{"png_truncated", "png", cut(read_picture("quad.png"), 100),
                    "png decoding failed: ", false},
        FailureCase{"png_too_wide", "png", png_header_only(17000),
                    "invalid png image size: ", false},
        FailureCase{"webp_garbage", "webp", Bytes(40, 0x55), "webp decoding failed", true},
        FailureCase{"webp_truncated", "webp", cut(read_picture("quad.webp"), 30),
                    "webp decoding failed", true},
        FailureCase{"rgb", "rgb", Bytes{1, 2, 3}, "unsupported encoding rgb", true},
        FailureCase{"case_sensitive", "JPEG", read_picture("quad.jpg"), "unsupported encoding JPEG",
                    true},
        FailureCase{"mmap", "mmap", Bytes{1, 2}, "received an mmap draw without an mmap area",
                    true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(DecodeDraw, ZeroSizedH264DrawFailsButKeepsTheNewDecoder) {
  H264DecoderMap decoders;
  Packet draw = make_draw(4, 0, 480, "h264", read_picture("tiny.h264"));
  Packet result = decode_draw(draw, decoders);
  EXPECT_EQ(item_string(result, 7), "invalid zero frame size");
  EXPECT_EQ(decoders.count(4), 1u);
}

TEST(DecodeDraw, PngLargerThanTheLimitIsRefusedBeforeDecoding) {
  H264DecoderMap decoders;
  Packet draw = make_draw(1, 17000, 1, "png", png_header_only(17000));
  Packet result = decode_draw(draw, decoders);
  EXPECT_EQ(item_string(result, 7), "invalid png image size: image width exceeds user limit");
  // Below the limit the same header gets as far as the missing image data.
  Packet small = make_draw(1, 100, 1, "png", png_header_only(100));
  Packet small_result = decode_draw(small, decoders);
  EXPECT_EQ(item_string(small_result, 7).rfind("png decoding failed: ", 0), 0u)
      << item_string(small_result, 7);
}

TEST(DecodeDraw, MmapIsRefusedWhateverItsOtherItems) {
  H264DecoderMap decoders;
  Packet draw = make_draw(1, 32, 32, "mmap", read_picture("quad.png"), 1,
                          Yaml::hash({{Yaml::string("full-range"), Yaml::boolean(false)}}));
  draw.items[9] = Yaml::integer(128);
  Packet result = decode_draw(draw, decoders);
  EXPECT_EQ(item_string(result, 7), "received an mmap draw without an mmap area");
}

TEST(DecodeDraw, ShortDrawIsRefused) {
  H264DecoderMap decoders;
  Packet draw = make_draw(1, 32, 32, "png", read_picture("quad.png"));
  draw.items.resize(8);
  Packet result = decode_draw(draw, decoders);
  ASSERT_EQ(result.items.size(), kMinDrawItems);
  EXPECT_EQ(item_string(result, 0), "decoding-failed");
  EXPECT_EQ(item_string(result, 7), "draw packet has 8 items, at least 9 needed");
  EXPECT_TRUE(result.chunks.empty());

  Packet empty;
  Packet empty_result = decode_draw(empty, decoders);
  EXPECT_EQ(item_string(empty_result, 0), "decoding-failed");
  EXPECT_EQ(item_string(empty_result, 7), "draw packet has 0 items, at least 9 needed");
}

// --- The channel and the thread --------------------------------------------------------------

// The decode thread frees its kept pictures when it has waited a while for work, never while
// work is waiting, and goes on receiving afterwards.
TEST(DecodingThread, IdleWaitRunsItsWorkOnceAndReceivesAfterwards) {
  using namespace std::chrono_literals;
  DecodeChannel channel = DecodeChannel::open();
  int idle_calls = 0;
  ASSERT_EQ(channel.sender.send(make_draw(1, 1, 1, "png", {})), SendOutcome::Sent);
  auto waiting = receive_or_idle(channel.receiver, 0ms, [&] { ++idle_calls; });
  ASSERT_TRUE(waiting);
  EXPECT_EQ(idle_calls, 0);

  std::promise<void> idled;
  DecodeSender sender = channel.sender;
  std::thread late([&idled, sender] {
    // Sent anyway after a while, so that a wait that never idles fails instead of hanging.
    static_cast<void>(idled.get_future().wait_for(5s));
    EXPECT_EQ(sender.send(make_draw(2, 1, 1, "png", {})), SendOutcome::Sent);
  });
  auto after_idle = receive_or_idle(channel.receiver, 1ms, [&] {
    ++idle_calls;
    idled.set_value();
  });
  late.join();
  ASSERT_TRUE(after_idle);
  EXPECT_EQ(after_idle->items[1].as_integer(), 2);
  EXPECT_EQ(idle_calls, 1);
}

Packet release_packet(const std::string& type, std::uint64_t wid) {
  Packet p;
  p.items = {Yaml::string(type), Yaml::integer(static_cast<std::int64_t>(wid))};
  return p;
}

// Runs the thread over the packets, then closes the channel; returns what it posted.
std::vector<Packet> run_thread(std::vector<Packet> packets) {
  auto used = std::make_shared<RecordingSink>();
  DecodeChannel channel = DecodeChannel::open();
  for (Packet& p : packets) EXPECT_EQ(channel.sender.send(std::move(p)), SendOutcome::Sent);
  channel.sender = DecodeSender();
  auto done = std::async(std::launch::async, [&] {
    decoding_thread(DecodeThreadContext{std::move(channel.receiver), EventLoopProxy(used)});
  });
  EXPECT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  return used->take();
}

TEST(DecodingThread, ResultsKeepChannelOrderAndReleasesPostNothing) {
  const Bytes stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  ASSERT_GE(units.size(), 2u);
  const Bytes idr(units[0].begin(), units[0].end());
  const Bytes p_frame(units[1].begin(), units[1].end());

  std::vector<Packet> in;
  in.push_back(make_draw(1, 64, 48, "h264", idr, 10));
  in.push_back(make_draw(2, 32, 32, "png", read_picture("quad.png"), 11));
  in.push_back(release_packet("window-eos", 5));            // no decoder: nothing happens
  in.push_back(make_draw(1, 64, 48, "h264", p_frame, 12));  // same decoder: decodes
  in.push_back(make_draw(3, 32, 32, "rgb", {1}, 13));
  in.push_back(release_packet("eos", 1));
  in.push_back(make_draw(1, 64, 48, "h264", p_frame, 14));  // fresh decoder: no references
  std::vector<Packet> out = run_thread(std::move(in));

  ASSERT_EQ(out.size(), 5u);
  std::vector<std::int64_t> sequences;
  for (const Packet& p : out) sequences.push_back(*p.items.at(8).as_integer());
  EXPECT_EQ(sequences, (std::vector<std::int64_t>{10, 11, 12, 13, 14}));
  EXPECT_EQ(out[0].chunks.at(7).size(), 64u * 48u * 4u);
  EXPECT_EQ(out[2].chunks.at(7).size(), 64u * 48u * 4u);
  EXPECT_EQ(item_string(out[3], 0), "decoding-failed");
  // After the release the P-frame has no stream headers behind it: no picture.
  const Packet& after = out[4];
  const bool no_picture = item_string(after, 0) == "decoding-failed" ||
                          (item_string(after, 0) == "draw-decoded" && after.chunks.at(7).empty());
  EXPECT_TRUE(no_picture) << item_string(after, 0);
}

TEST(DecodingThread, EveryReleaseNameDropsTheDecoder) {
  const Bytes stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  const Bytes idr(units[0].begin(), units[0].end());
  const Bytes p_frame(units[1].begin(), units[1].end());
  for (const char* name : {"lost-window", "window-destroy", "eos", "window-eos"}) {
    std::vector<Packet> in;
    in.push_back(make_draw(8, 64, 48, "h264", idr));
    in.push_back(release_packet(name, 8));
    in.push_back(make_draw(8, 64, 48, "h264", p_frame));
    std::vector<Packet> out = run_thread(std::move(in));
    ASSERT_EQ(out.size(), 2u) << name;
    const bool picture = item_string(out[1], 0) == "draw-decoded" && !out[1].chunks.at(7).empty();
    EXPECT_FALSE(picture) << name;
  }
}

TEST(DecodingThread, LogLines) {
  const Bytes stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  std::vector<Packet> in;
  in.push_back(release_packet("window-eos", 6));  // no decoder: no line at all
  in.push_back(make_draw(6, 64, 48, "h264", Bytes(units[0].begin(), units[0].end()), 1));
  in.push_back(make_draw(6, 8, 8, "rgb", {1}, 13));
  in.push_back(release_packet("lost-window", 6));
  LogCapture log;
  std::vector<Packet> out = run_thread(std::move(in));
  const std::vector<std::string> lines = log.take_lines();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(any_line_has(lines, "INFO  [nolv::client::client] decoding thread started"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::client] wid 6 got 64x48 h264 draw packet"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::draw_decoder] decode rgb: 1 bytes"));
  EXPECT_TRUE(any_line_has(lines, "[nolv::client::draw_decoder] data=[1]"));
  EXPECT_TRUE(any_line_has(lines,
                           "ERROR [nolv::client::client] draw decoding error for rgb sequence 13: "
                           "unsupported encoding rgb"));
  EXPECT_TRUE(any_line_has(lines, "perf: draw packet: 64x48 h264 decoded in "));
  EXPECT_TRUE(any_line_has(lines, "convert_to_bgra: 64x48 -> 12288 bytes"));
  std::size_t released = 0;
  for (const std::string& line : lines) {
    released += line.find("released h264 decoder") != std::string::npos;
  }
  EXPECT_EQ(released, 1u);
  EXPECT_TRUE(any_line_has(lines, "released h264 decoder for lost-window on window 6"));
  EXPECT_TRUE(any_line_has(lines, "DEBUG [nolv::client::client] decoding thread stopping"));
}

TEST(DecodingThread, EndsAtTheFirstFailedPostWhileDrawsAreQueued) {
  auto sink = std::make_shared<RecordingSink>();
  sink->close();
  DecodeChannel channel = DecodeChannel::open();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(channel.sender.send(make_draw(1, 32, 32, "png", read_picture("quad.png"))),
              SendOutcome::Sent);
  }
  auto done = std::async(std::launch::async, [&] {
    decoding_thread(DecodeThreadContext{std::move(channel.receiver), EventLoopProxy(sink)});
  });
  // The sender stays open: only the failed post can end the thread.
  ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(channel.sender.send(Packet{}), SendOutcome::Closed);
}

TEST(DecodingThread, StartedThreadDecodesAndPosts) {
  std::promise<void> posted;
  auto sink = std::make_shared<RecordingSink>([&] { posted.set_value(); });
  DecodeChannel channel = DecodeChannel::open();
  start_decoding_thread(std::move(channel.receiver), EventLoopProxy(sink));
  ASSERT_EQ(channel.sender.send(make_draw(1, 32, 32, "webp", read_picture("quad.webp"))),
            SendOutcome::Sent);
  ASSERT_EQ(posted.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  std::vector<Packet> out = sink->take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(item_string(out[0], 0), "draw-decoded");
}

}  // namespace
}  // namespace nolv
