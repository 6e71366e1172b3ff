#include "client/h264_decoder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/picture_buffers.h"
#include "unit/client/picture_fixtures.h"

namespace nolv {
namespace {

using test::nals_of_types;
using test::near;
using test::pixel_at;
using test::read_picture;
using test::run_to_bytes;

Bytes to_bytes(std::span<const std::uint8_t> s) {
  return Bytes(s.begin(), s.end());
}

std::vector<int> types_in(const Bytes& unit) {
  std::vector<int> types;
  for (const auto& nal : test::nal_units(unit)) types.push_back(nal.type);
  return types;
}

Result<std::optional<Bytes>> decode(H264DecoderMap& decoders, std::uint64_t wid, int w, int h,
                                    const Bytes& data, std::optional<bool> full = std::nullopt) {
  return decode_h264_draw(decoders, wid, w, h, data, full);
}

TEST(SplitAccessUnits, OneUnitPerFrameWithTheHeadersInTheFirst) {
  const Bytes stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  ASSERT_EQ(units.size(), 10u);
  std::size_t total = 0;
  for (const auto& unit : units) total += unit.size();
  EXPECT_EQ(total, stream.size());
  const std::vector<int> first = types_in(to_bytes(units[0]));
  EXPECT_EQ(first.front(), 7);  // SPS
  EXPECT_EQ(first.back(), 5);   // the IDR slice
  for (std::size_t i = 1; i < units.size(); ++i) {
    EXPECT_EQ(types_in(to_bytes(units[i])), std::vector<int>{1}) << i;
  }
}

TEST(SplitAccessUnits, DelimitersStartEveryUnit) {
  const Bytes stream = read_picture("aud.h264");
  const auto units = split_access_units(stream);
  ASSERT_EQ(units.size(), 3u);
  H264DecoderMap decoders;
  for (const auto& unit : units) {
    const std::vector<int> types = types_in(to_bytes(unit));
    EXPECT_EQ(types.front(), 9);
    EXPECT_EQ(std::count(types.begin(), types.end(), 9), 1);
    auto frame = decode(decoders, 1, 32, 32, to_bytes(unit));
    ASSERT_TRUE(frame && frame->has_value());
  }
}

TEST(SplitAccessUnits, EdgeInputs) {
  EXPECT_TRUE(split_access_units({}).empty());
  const Bytes garbage = {1, 2, 3, 4, 5};
  ASSERT_EQ(split_access_units(garbage).size(), 1u);
  // Two slices of one picture (the second with first_mb_in_slice > 0) stay together; a slice
  // with first_mb_in_slice 0 starts the next picture.
  const Bytes two_slices = {0, 0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x65, 0x40, 0, 0, 1, 0x41, 0x9a};
  const auto units = split_access_units(two_slices);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].size(), 11u);
  EXPECT_EQ(units[1].size(), 5u);
}

TEST(H264Decoding, HeaderOnlyDrawGivesNoPictureThenFramesDecode) {
  const Bytes stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  H264DecoderMap decoders;
  auto headers = decode(decoders, 1, 64, 48, nals_of_types(stream, {7, 8}));
  ASSERT_TRUE(headers) << headers.message();
  EXPECT_FALSE(headers->has_value());

  auto idr = decode(decoders, 1, 64, 48, nals_of_types(to_bytes(units[0]), {5}));
  ASSERT_TRUE(idr) << idr.message();
  ASSERT_TRUE(idr->has_value());
  EXPECT_EQ((*idr)->size(), 64u * 48u * 4u);
  for (std::size_t i = 1; i < units.size(); ++i) {
    auto frame = decode(decoders, 1, 64, 48, to_bytes(units[i]));
    ASSERT_TRUE(frame && frame->has_value()) << i;
  }
  EXPECT_EQ(decoders.at(1)->frame_count(), 1 + units.size());
}

TEST(H264Decoding, ADrawOfSeveralFramesReturnsTheLast) {
  const Bytes stream = read_picture("tiny.h264");
  H264DecoderMap one_by_one;
  std::optional<Bytes> last;
  for (const auto& unit : split_access_units(stream)) {
    auto frame = decode(one_by_one, 1, 64, 48, to_bytes(unit));
    ASSERT_TRUE(frame && frame->has_value());
    last = std::move(**frame);
  }
  H264DecoderMap whole;
  auto all = decode(whole, 1, 64, 48, stream);
  ASSERT_TRUE(all && all->has_value());
  EXPECT_EQ(**all, *last);
  // The first frame differs from the last (the pattern moves), so this is not a trivial match.
  H264DecoderMap first_only;
  auto first = decode(first_only, 1, 64, 48, to_bytes(split_access_units(stream)[0]));
  ASSERT_TRUE(first && first->has_value());
  EXPECT_NE(**first, *last);
}

TEST(H264Decoding, StreamOf1280x720DrawnAs640x480IsScaled) {
  H264DecoderMap decoders;
  auto picture = decode(decoders, 2, 640, 480, read_picture("big720.h264"), false);
  ASSERT_TRUE(picture && picture->has_value()) << (picture ? "" : picture.message());
  const Bytes& px = **picture;
  ASSERT_EQ(px.size(), 640u * 480u * 4u);
  auto red = pixel_at(px, 640, 100, 100);  // B, G, R, X
  EXPECT_TRUE(near(red[2], 255, 12) && near(red[1], 0, 12) && near(red[0], 0, 12))
      << red[0] << " " << red[1] << " " << red[2];
  auto blue = pixel_at(px, 640, 500, 400);
  EXPECT_TRUE(near(blue[2], 0x12, 6) && near(blue[1], 0x34, 6) && near(blue[0], 0x56, 6))
      << blue[0] << " " << blue[1] << " " << blue[2];
}

struct RangeCase {
  const char* file;
  std::optional<bool> full_range;
  bool expect_true_colour;
};

std::string range_flag(const std::optional<bool>& full_range) {
  if (!full_range) return "no_range_flag";
  return *full_range ? "full_range" : "limited_range";
}

void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << c.file << " drawn with " << range_flag(c.full_range)
      << (c.expect_true_colour ? ", true colours" : ", shifted colours");
}

class H264Range : public ::testing::TestWithParam<RangeCase> {};

TEST_P(H264Range, ColoursFollowTheDrawsRangeFlag) {
  const RangeCase& c = GetParam();
  H264DecoderMap decoders;
  auto picture = decode(decoders, 1, 32, 32, read_picture(c.file), c.full_range);
  ASSERT_TRUE(picture && picture->has_value());
  auto px = pixel_at(**picture, 32, 16, 16);
  const bool true_colour = near(px[2], 0x12, 6) && near(px[1], 0x34, 6) && near(px[0], 0x56, 6);
  EXPECT_EQ(true_colour, c.expect_true_colour) << px[2] << " " << px[1] << " " << px[0];
}

INSTANTIATE_TEST_SUITE_P(Streams, H264Range,
                         ::testing::Values(RangeCase{"solid-limited.h264", false, true},
                                           RangeCase{"solid-limited.h264", std::nullopt, false},
                                           RangeCase{"solid-full.h264", std::nullopt, true},
                                           RangeCase{"solid-full.h264", true, true},
                                           RangeCase{"solid-full.h264", false, false}),
                         [](const ::testing::TestParamInfo<RangeCase>& test_case) {
                           std::string stream(test_case.param.file);
                           stream = stream.substr(0, stream.find('.'));
                           std::replace(stream.begin(), stream.end(), '-', '_');
                           return stream + "_" + range_flag(test_case.param.full_range);
                         });

TEST(H264Decoding, ConverterIsSetUpAgainOnlyWhenSizeOrRangeChange) {
  const auto stream = read_picture("tiny.h264");
  const auto units = split_access_units(stream);
  H264DecoderMap decoders;
  auto step = [&](std::size_t i, int w, int h, std::optional<bool> full) {
    auto frame = decode(decoders, 1, w, h, to_bytes(units[i]), full);
    ASSERT_TRUE(frame && frame->has_value());
    EXPECT_EQ((*frame)->size(), static_cast<std::size_t>(w) * h * 4);
  };
  step(0, 64, 48, std::nullopt);
  step(1, 64, 48, std::nullopt);
  step(2, 64, 48, true);  // the same range as before
  EXPECT_EQ(decoders.at(1)->converter_setups(), 1u);
  step(3, 32, 24, std::nullopt);
  EXPECT_EQ(decoders.at(1)->converter_setups(), 2u);
  step(4, 32, 24, false);
  EXPECT_EQ(decoders.at(1)->converter_setups(), 3u);
  step(5, 32, 24, std::nullopt);  // the flag stays false
  EXPECT_FALSE(decoders.at(1)->full_range());
  EXPECT_EQ(decoders.at(1)->converter_setups(), 3u);
}

// Two windows take every conversion thread there is; a third converts on the decode thread
// alone, and must give the same bytes in both ranges (each thread's part of the picture follows
// the colour details set on the whole).
TEST(H264Decoding, ThreadedConversionMatchesOneThreadAndStaysWithinItsBudget) {
  const Bytes stream = read_picture("big720.h264");
  ASSERT_GE(std::int64_t{1280} * 720, kMinThreadedConvertPixels);
  ASSERT_EQ(converter_threads_in_use(), 0);
  for (const bool full : {false, true}) {
    H264DecoderMap decoders;
    std::vector<Bytes> pictures;
    for (std::uint64_t wid = 1; wid <= 3; ++wid) {
      auto picture = decode(decoders, wid, 1280, 720, stream, full);
      ASSERT_TRUE(picture && picture->has_value()) << (picture ? "" : picture.message());
      pictures.push_back(std::move(**picture));
    }
    EXPECT_EQ(decoders.at(1)->converter_threads(), kConverterThreadsPerDecoder);
    EXPECT_EQ(decoders.at(2)->converter_threads(),
              kConverterThreadsTotal - kConverterThreadsPerDecoder);
    EXPECT_EQ(decoders.at(3)->converter_threads(), 1);
    EXPECT_EQ(converter_threads_in_use(), kConverterThreadsTotal);
    EXPECT_TRUE(pictures[0] == pictures[2]) << "full range " << full;
    EXPECT_TRUE(pictures[1] == pictures[2]) << "full range " << full;
    // A small picture needs no threads: the converter gives its share back.
    auto small = decode(decoders, 1, 640, 480, stream, full);
    ASSERT_TRUE(small && small->has_value());
    EXPECT_EQ(decoders.at(1)->converter_threads(), 1);
    EXPECT_EQ(converter_threads_in_use(), kConverterThreadsTotal - kConverterThreadsPerDecoder);
  }
  EXPECT_EQ(converter_threads_in_use(), 0);
}

// Real encoder output at the sizes application windows have: every column of every picture must
// match the same decoded frame converted by the library's own command. A flat colour keeps the
// reference independent of how chroma is interpolated, so 6 steps a channel covers the fast and
// the exact paths' rounding only; a column skipped or left black is off by far more.
struct EncodedStream {
  Bytes h264;
  Bytes reference;  // B, G, R, X rows, width x 4 bytes each
};

struct SweepCase {
  int width;
  int height;
  const char* format;
  int slices;
};

EncodedStream encode_flat(const SweepCase& c, std::size_t index) {
  const int width = c.width;
  const int height = c.height;
  // The colour source takes no odd sizes of its own; a scale to the size does.
  const std::string source =
      "-f lavfi -i color=c=0x3080c0:size=16x16:rate=25 -vf scale=" + std::to_string(width) + ":" +
      std::to_string(height);
  const std::string file = ::testing::TempDir() + "sweep-" + std::to_string(::getpid()) + "-" +
                           std::to_string(index) + ".h264";
  EncodedStream stream;
  stream.h264 = run_to_bytes(
      "ffmpeg -v error " + source + " -frames:v 2 -c:v libx264 -tune zerolatency -pix_fmt " +
      c.format + " -x264-params slices=" + std::to_string(c.slices) + " -f h264 - | tee " + file);
  // The same decoded frame, converted by the library's own command.
  stream.reference =
      run_to_bytes("ffmpeg -v error -i " + file + " -frames:v 1 -pix_fmt bgr0 -f rawvideo -");
  std::remove(file.c_str());
  return stream;
}

std::vector<SweepCase> sweep_cases() {
  std::vector<SweepCase> cases;
  for (int w = 1; w <= 70; ++w) {
    cases.push_back({w, 18, "yuv444p", 1});
    if (w % 2 == 0) cases.push_back({w, 18, "yuv420p", 1});
    if (w % 2 == 0) cases.push_back({w, 17, "yuv422p", 2});
  }
  for (const int w : {1000, 1366, 1368, 1440, 1600, 2560, 3840}) {
    cases.push_back({w, 16, "yuv420p", 1});
    cases.push_back({w, 18, "yuv422p", 3});
    cases.push_back({w, 17, "yuv444p", 2});
  }
  // Large enough for the converter's own threads.
  cases.push_back({1366, 768, "yuv420p", 4});
  cases.push_back({1000, 600, "yuv422p", 1});
  return cases;
}

// Starting the encoder is most of the sweep's time, so a few encoder processes run side by side.
constexpr int kEncoderProcesses = 4;

std::vector<EncodedStream> encode_all(const std::vector<SweepCase>& cases) {
  std::vector<EncodedStream> streams(cases.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kEncoderProcesses; ++t)
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < cases.size();) streams[i] = encode_flat(cases[i], i);
    });
  for (std::thread& worker : workers) worker.join();
  return streams;
}

TEST(H264Decoding, EveryWidthConvertsEveryColumnWithinTheBuffer) {
  const std::vector<SweepCase> cases = sweep_cases();
  const std::vector<EncodedStream> streams = encode_all(cases);
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const SweepCase& c = cases[index];
    SCOPED_TRACE(::testing::Message()
                 << c.width << "x" << c.height << " " << c.format << " " << c.slices << " slices");
    // Fresh buffers only: the picture then ends exactly where the allocation does.
    picture_buffers().release();
    const EncodedStream& stream = streams[index];
    ASSERT_FALSE(stream.h264.empty());
    ASSERT_EQ(stream.reference.size(), std::size_t(c.width) * c.height * 4);
    H264DecoderMap decoders;
    auto picture = decode(decoders, 1, c.width, c.height, stream.h264, false);
    ASSERT_TRUE(picture && picture->has_value()) << (picture ? "" : picture.message());
    const Bytes& got = **picture;
    ASSERT_EQ(got.size(), stream.reference.size());
    int worst = 0;
    int worst_column = -1;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (i % 4 == 3) continue;
      const int diff = std::abs(int(got[i]) - int(stream.reference[i]));
      if (diff > worst) {
        worst = diff;
        worst_column = int(i / 4 % std::size_t(c.width));
      }
    }
    EXPECT_LE(worst, 6) << "column " << worst_column;
  }
}

TEST(H264Decoding, ErrorsAndBounds) {
  H264DecoderMap decoders;
  const Bytes stream = read_picture("tiny.h264");
  struct Case {
    int w, h;
    const char* message;
  };
  for (const Case& c :
       {Case{0, 48, "invalid zero frame size"}, Case{64, -1, "invalid zero frame size"},
        Case{16385, 48, "frame size 16385x48 exceeds the limit of 16384 pixels a side"},
        Case{10000, 10000, "frame size 10000x10000 exceeds the limit of 67108864 pixels"}}) {
    auto r = decode(decoders, 3, c.w, c.h, stream);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.message(), c.message);
  }
  EXPECT_EQ(decoders.count(3), 1u);  // created by the first draw, kept
  EXPECT_EQ(decoders.at(3)->frame_count(), 0u);

  auto garbage = decode(decoders, 4, 64, 48, Bytes(200, 0x17));
  EXPECT_TRUE(!garbage || !garbage->has_value());
}

}  // namespace
}  // namespace nolv
