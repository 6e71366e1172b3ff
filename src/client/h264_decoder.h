// H.264 decoding for the "decode" thread: one decoder per window over libavcodec, whose frames
// libswscale converts to B, G, R, X bytes at the draw's width and height.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "net/packet.h"
#include "util/result.h"
#include "util/unique_handle.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace nolv {

// How a decoder releases what it holds of libavcodec and libswscale.
void free_codec_context(AVCodecContext* context);
void free_av_packet(AVPacket* packet);
void free_av_frame(AVFrame* frame);
void free_converter(SwsContext* converter);
using CodecContextHandle = UniqueHandle<AVCodecContext, free_codec_context>;
using AvPacketHandle = UniqueHandle<AVPacket, free_av_packet>;
using AvFrameHandle = UniqueHandle<AVFrame, free_av_frame>;
using ConverterHandle = UniqueHandle<SwsContext, free_converter>;

// Sample times and durations count 100-nanosecond units; every sample lasts a sixtieth of a second.
inline constexpr std::int64_t kSampleDuration = 166667;

// A draw's picture is width x height x 4 bytes, all allocated up front: beyond this side the
// allocation is refused (16384 x 16384 x 4 is already 1 GiB).
inline constexpr std::int64_t kMaxPictureSide = 16384;
// And beyond this many pixels in all (256 MiB of picture), so that one header of a picture that
// is long on both sides cannot make the decoder take a GiB.
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{8192} * 8192;

[[nodiscard]] inline bool picture_too_large(std::int64_t width, std::int64_t height) {
  return width > kMaxPictureSide || height > kMaxPictureSide || width * height > kMaxPicturePixels;
}

// Slice threads of one decoder: a frame cut into slices decodes that many times faster, a
// single-slice frame not at all, and every thread keeps its own slice state.
inline constexpr int kSliceThreadsPerDecoder = 4;
// Slice threads of all decoders together, so that many video windows do not start a thread pool
// each; a decoder made while they are taken decodes on the decode thread alone.
inline constexpr int kSliceThreadsTotal = 12;
// The slice threads that live decoders hold, within kSliceThreadsTotal.
int slice_threads_in_use();

// Colour conversion threads of one decoder's converter, its caller's included: converting a 1080p
// frame costs about as much as decoding it, and all decoders share the one decode thread.
inline constexpr int kConverterThreadsPerDecoder = 4;
// Of all converters together: only one converts at a time, so two pools cover a window that is
// replaced while another plays.
inline constexpr int kConverterThreadsTotal = 8;
// Below this many output pixels waking the threads costs more than the split saves.
inline constexpr std::int64_t kMinThreadedConvertPixels = std::int64_t{512} * 1024;
// The conversion threads that live converters hold, within kConverterThreadsTotal.
int converter_threads_in_use();

// What the colour converter is currently set up for.
struct ConverterSetup {
  int src_width = 0;
  int src_height = 0;
  int src_format = -1;
  int colorspace = -1;
  friend bool operator==(const ConverterSetup&, const ConverterSetup&) = default;
};

class H264Decoder {
 public:
  // The libavcodec decoder (low delay, no frame threading) and an unset converter.
  static Result<std::unique_ptr<H264Decoder>> create(std::uint64_t wid);
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  // One draw's piece of the stream: every frame it releases is converted, the last one is
  // returned (width x height x 4 bytes, B, G, R, X); no frame gives no picture.
  Result<std::optional<Bytes>> decode(std::int32_t width, std::int32_t height,
                                      std::span<const std::uint8_t> data,
                                      std::optional<bool> full_range);

  std::uint64_t wid() const { return wid_; }
  std::uint64_t frame_count() const { return frame_count_; }
  bool full_range() const { return full_range_; }
  // How many times the converter was set up: it changes only with size, range or stream.
  std::uint64_t converter_setups() const { return converter_setups_; }
  // The threads the decoder may use, its caller's included (1: no threads of its own).
  int threads() const { return threads_; }
  // The threads its converter uses, its caller's included.
  int converter_threads() const { return converter_threads_; }

 private:
  H264Decoder(std::uint64_t wid, CodecContextHandle decoder, AvPacketHandle packet,
              AvFrameHandle frame, int threads);
  Status send_access_unit(std::span<const std::uint8_t> unit);
  Status drain(std::int32_t width, std::int32_t height, std::optional<Bytes>& kept);
  Status convert_to_bgra(const AVFrame& frame, std::int32_t width, std::int32_t height,
                         std::optional<Bytes>& picture);
  Status scale_into(const AVFrame& frame, std::uint8_t* destination, std::size_t size,
                    std::size_t stride);
  Status set_up_converter(const ConverterSetup& setup, std::int32_t width, std::int32_t height);
  void release_converter();

  std::uint64_t wid_;
  std::uint64_t frame_count_ = 0;
  CodecContextHandle decoder_;
  AvPacketHandle packet_;
  AvFrameHandle frame_;
  ConverterHandle converter_;
  ConverterSetup converter_input_;
  std::uint32_t converter_width_ = 0;
  std::uint32_t converter_height_ = 0;
  bool converter_dirty_ = true;
  bool full_range_ = true;
  std::uint64_t converter_setups_ = 0;
  int converter_threads_ = 1;
  // Padded rows for widths the converter's blocks overrun; kept to spare an allocation a frame.
  Bytes scratch_;
  int threads_;
  Bytes input_;  // one access unit with the zeroed padding the decoder may read past its end
};

using H264DecoderMap = std::map<std::uint64_t, std::unique_ptr<H264Decoder>>;

// The decoding step for a draw of coding "h264": finds or creates the window's decoder.
Result<std::optional<Bytes>> decode_h264_draw(H264DecoderMap& decoders, std::uint64_t wid,
                                              std::int32_t width, std::int32_t height,
                                              std::span<const std::uint8_t> data,
                                              std::optional<bool> full_range);

// Splits an Annex-B byte stream into access units: a new unit starts at an access unit
// delimiter, SPS, PPS or SEI, or at a slice whose first macroblock is 0, once the current unit
// holds a slice. Bytes before the first start code stay with the first unit.
std::vector<std::span<const std::uint8_t>> split_access_units(std::span<const std::uint8_t> data);

}  // namespace nolv
