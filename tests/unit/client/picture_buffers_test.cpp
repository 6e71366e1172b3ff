#include "client/picture_buffers.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "client/draw_decoder.h"
#include "client/h264_decoder.h"
#include "unit/client/picture_fixtures.h"

namespace nolv {
namespace {

constexpr std::size_t kBig = kMinRecycledPictureBytes * 2;

TEST(PictureBuffers, AGivenBackBufferIsTakenAgainAsItWas) {
  PictureBuffers buffers;
  Bytes fresh = buffers.take(kBig);
  EXPECT_TRUE(std::all_of(fresh.begin(), fresh.end(), [](std::uint8_t b) { return b == 0; }));
  std::fill(fresh.begin(), fresh.end(), 0xab);
  const std::uint8_t* storage = fresh.data();
  buffers.give_back(std::move(fresh));
  EXPECT_EQ(buffers.kept_bytes(), kBig);

  Bytes again = buffers.take(kBig - 4);  // a smaller picture fits the same storage
  EXPECT_EQ(again.data(), storage);
  EXPECT_EQ(again.size(), kBig - 4);
  EXPECT_EQ(again.back(), 0xab);  // not cleared: the decoder writes every byte
  EXPECT_EQ(buffers.kept_bytes(), 0u);
}

TEST(PictureBuffers, KeepsFewAndOnlyLargeBuffers) {
  PictureBuffers buffers;
  buffers.give_back(Bytes(kMinRecycledPictureBytes - 1));
  EXPECT_EQ(buffers.kept_bytes(), 0u);
  buffers.give_back(Bytes(kRecycledPictureBytes + 1));
  EXPECT_EQ(buffers.kept_bytes(), 0u);
  for (std::size_t i = 0; i < kRecycledPictures + 2; ++i) buffers.give_back(Bytes(kBig));
  EXPECT_EQ(buffers.kept_bytes(), kRecycledPictures * kBig);
  // Larger than any kept buffer: a new one, zero-filled.
  Bytes larger = buffers.take(kBig * 2);
  EXPECT_EQ(larger.size(), kBig * 2);
  EXPECT_EQ(buffers.kept_bytes(), kRecycledPictures * kBig);
}

// A 512 x 384 JPEG of a gradient, made with the library's own encoder.
Bytes gradient_jpeg() {
  constexpr int w = 512, h = 384;
  Bytes rgb(std::size_t{w} * h * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 / 3);
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(tj, rgb.data(), w, w * 3, h, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
  Bytes jpeg = rc == 0 ? Bytes(out, out + size) : Bytes();
  tjFree(out);
  tjDestroy(tj);
  return jpeg;
}

// A picture decoded into a reused buffer full of stale bytes equals one decoded into a new one.
TEST(PictureBuffers, ReleaseLetsGoOfEveryKeptBuffer) {
  PictureBuffers buffers;
  buffers.give_back(Bytes(kBig));
  buffers.give_back(Bytes(kBig));
  ASSERT_EQ(buffers.kept_bytes(), 2 * kBig);
  buffers.release();
  EXPECT_EQ(buffers.kept_bytes(), 0u);
  Bytes fresh = buffers.take(kBig);  // made anew, so cleared
  ASSERT_EQ(fresh.size(), kBig);
  EXPECT_TRUE(std::all_of(fresh.begin(), fresh.end(), [](std::uint8_t b) { return b == 0; }));
  buffers.give_back(std::move(fresh));
  EXPECT_EQ(buffers.kept_bytes(), kBig);  // and the pool keeps buffers again afterwards
}

TEST(PictureBuffers, DecodersOverwriteEveryByteOfAReusedBuffer) {
  const Bytes jpeg = gradient_jpeg();
  ASSERT_FALSE(jpeg.empty());
  const Bytes h264 = test::read_picture("big720.h264");
  struct Case {
    const char* name;
    std::function<Result<Bytes>()> decode;
  } cases[] = {
      {"jpeg", [&] { return decode_jpeg_bgra(jpeg); }},
      {"h264",
       [&]() -> Result<Bytes> {
         H264DecoderMap decoders;
         auto picture = decode_h264_draw(decoders, 1, 1280, 720, h264, false);
         if (!picture) return picture.error();
         if (!picture->has_value()) return fail("no picture");
         return std::move(**picture);
       }},
  };
  for (const Case& c : cases) {
    auto first = c.decode();
    ASSERT_TRUE(first) << c.name << ": " << first.message();
    const Bytes expected = *first;
    std::fill(first->begin(), first->end(), 0x5a);
    const std::uint8_t* storage = first->data();
    picture_buffers().give_back(std::move(*first));
    auto second = c.decode();
    ASSERT_TRUE(second) << c.name;
    EXPECT_EQ(second->data(), storage) << c.name;  // the stale buffer was used
    EXPECT_TRUE(*second == expected) << c.name;
    picture_buffers().give_back(std::move(*second));
  }
}

// One decompressor serves the whole thread, also after a picture it could not read.
TEST(PictureBuffers, JpegDecodesAfterAFailureOnTheSameThread) {
  const Bytes good = test::read_picture("quad.jpg");
  const Bytes truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
  const Bytes garbage = {0xff, 0xd8, 0x00, 0x01, 0x02};
  for (const Bytes* bad : {&truncated, &garbage}) {
    EXPECT_FALSE(decode_jpeg_bgra(*bad));
    auto pixels = decode_jpeg_bgra(good);
    ASSERT_TRUE(pixels) << pixels.message();
    const auto red = test::pixel_at(*pixels, 32, 4, 4);  // B, G, R, A
    EXPECT_TRUE(test::near(red[2], 255, 8) && test::near(red[1], 0, 8) && test::near(red[0], 0, 8));
  }
}

std::size_t threads_of_process() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}

TEST(H264Threads, BoundedPerDecoderAndInAll) {
  // The thread checker's runtime starts a thread of its own beside the process's first one; a
  // thread started and joined first keeps that one out of the count.
  std::thread([] {}).join();
  const int before = slice_threads_in_use();
  const std::size_t threads_before = threads_of_process();
  const Bytes stream = test::read_picture("tiny.h264");
  {
    H264DecoderMap decoders;
    for (std::uint64_t wid = 1; wid <= 10; ++wid) {
      auto picture = decode_h264_draw(decoders, wid, 64, 48, stream, false);
      ASSERT_TRUE(picture) << picture.message();
      EXPECT_LE(decoders.at(wid)->threads(), kSliceThreadsPerDecoder);
      EXPECT_GE(decoders.at(wid)->threads(), 1);
    }
    EXPECT_LE(slice_threads_in_use(), kSliceThreadsTotal);
    EXPECT_LE(threads_of_process(), threads_before + kSliceThreadsTotal);
    EXPECT_EQ(decoders.at(10)->threads(), 1);  // the total was spent by the first ones
  }
  EXPECT_EQ(slice_threads_in_use(), before);
  EXPECT_LE(threads_of_process(), threads_before);
}

}  // namespace
}  // namespace nolv
