#include "client/h264_decoder.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "client/picture_buffers.h"
#include "util/log.h"

namespace nolv {

namespace {

// The log target keeps the name log filters already use.
constexpr std::string_view kLog = "nolv::client::mediafoundation";

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return fmt::format("error {}", code);
  return text;
}

// The deprecated full-range formats: the range comes from the draw's flag instead.
AVPixelFormat without_range(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      return AV_PIX_FMT_YUV411P;
    default:
      return format;
  }
}

// The stream's matrix where it names one swscale knows; BT.601 otherwise.
int matrix_of(const AVFrame& frame) {
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    default:
      return SWS_CS_DEFAULT;
  }
}

// The libraries' own diagnostics go to our log instead of standard error; the errors that
// matter come back as return codes and end up in the draw's message.
void log_from_libav(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_VERBOSE) return;
  const LogLevel ours = level <= AV_LOG_WARNING ? LogLevel::Debug : LogLevel::Trace;
  if (!log_enabled(ours)) return;
  char line[1024];
  int prefix = 1;
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(object, level, format, copy, line, sizeof line, &prefix);
  va_end(copy);
  std::string_view text(line);
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  log_at(ours, kLog, "{}", text);
}

void route_libav_logs_once() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(log_from_libav); });
}

// Threads handed out in shares: up to `per_user` while the total allows, else the caller's thread
// alone.
class ThreadBudget {
 public:
  constexpr ThreadBudget(int per_user, int total) : per_user_(per_user), total_(total) {}

  int take() {
    int taken = taken_.load();
    for (;;) {
      const int threads = std::min(per_user_, total_ - taken);
      if (threads <= 1) return 1;
      if (taken_.compare_exchange_weak(taken, taken + threads)) return threads;
    }
  }
  void give_back(int threads) {
    if (threads > 1) taken_ -= threads;
  }
  int in_use() const { return taken_.load(); }

 private:
  const int per_user_;
  const int total_;
  std::atomic<int> taken_{0};
};

ThreadBudget slice_thread_budget{kSliceThreadsPerDecoder, kSliceThreadsTotal};
ThreadBudget converter_thread_budget{kConverterThreadsPerDecoder, kConverterThreadsTotal};

// The converter writes each row in whole blocks of this many pixels, past the row's end when the
// width is not a multiple of it.
constexpr std::size_t kConverterBlock = 16;
// Room after the last padded row for the widest block a vector path may store at once.
constexpr std::size_t kConverterSlack = kConverterBlock * 4;

std::size_t converter_stride(std::int32_t width) {
  const std::size_t w = static_cast<std::size_t>(width);
  return (w + kConverterBlock - 1) / kConverterBlock * kConverterBlock * 4;
}

// The converter writes into the caller's picture; the reference it takes must not free it.
void keep_picture(void*, std::uint8_t*) {}

bool is_slice(std::uint8_t type) {
  return type == 1 || type == 5;
}

// SEI, SPS, PPS and access unit delimiter open a new access unit after a slice.
bool opens_access_unit(std::uint8_t type) {
  return type >= 6 && type <= 9;
}

// Whether any NAL unit of the access unit is a slice.
bool contains_slice(std::span<const std::uint8_t> unit) {
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1 && is_slice(unit[i + 3] & 0x1f)) {
      return true;
    }
  }
  return false;
}

}  // namespace

int slice_threads_in_use() {
  return slice_thread_budget.in_use();
}

int converter_threads_in_use() {
  return converter_thread_budget.in_use();
}

std::vector<std::span<const std::uint8_t>> split_access_units(std::span<const std::uint8_t> data) {
  std::vector<std::span<const std::uint8_t>> units;
  const std::size_t n = data.size();
  std::size_t unit_start = 0;
  bool has_slice = false;
  for (std::size_t i = 0; i + 3 <= n;) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
      ++i;
      continue;
    }
    std::size_t code_start = i > 0 && data[i - 1] == 0 ? i - 1 : i;
    const std::size_t header = i + 3;
    i = header;
    if (header >= n) break;
    const std::uint8_t type = data[header] & 0x1f;
    // first_mb_in_slice is the first ue(v) after the header: a leading 1 bit means 0.
    const bool first_mb_zero = header + 1 < n && (data[header + 1] & 0x80) != 0;
    if (has_slice && (opens_access_unit(type) || (is_slice(type) && first_mb_zero))) {
      if (code_start < unit_start) code_start = unit_start;
      units.push_back(data.subspan(unit_start, code_start - unit_start));
      unit_start = code_start;
      has_slice = false;
    }
    if (is_slice(type)) has_slice = true;
  }
  if (unit_start < n) units.push_back(data.subspan(unit_start));
  return units;
}

void free_codec_context(AVCodecContext* context) {
  avcodec_free_context(&context);
}

void free_av_packet(AVPacket* packet) {
  av_packet_free(&packet);
}

void free_av_frame(AVFrame* frame) {
  av_frame_free(&frame);
}

void free_converter(SwsContext* converter) {
  sws_freeContext(converter);
}

Result<std::unique_ptr<H264Decoder>> H264Decoder::create(std::uint64_t wid) {
  route_libav_logs_once();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return fail("failed to create H.264 decoder: libavcodec has none");
  CodecContextHandle context(avcodec_alloc_context3(codec));
  if (context == nullptr) return fail("failed to create H.264 decoder: out of memory");
  // A frame is wanted as soon as its input arrives: frame threads would hold back
  // thread_count - 1 frames, slice threads do not.
  const int threads = slice_thread_budget.take();
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context->thread_type = FF_THREAD_SLICE;
  context->thread_count = threads;
  if (const int rc = avcodec_open2(context.get(), codec, nullptr); rc < 0) {
    context.reset();
    slice_thread_budget.give_back(threads);
    return fail("failed to create H.264 decoder: {}", av_error_text(rc));
  }
  AvPacketHandle packet(av_packet_alloc());
  AvFrameHandle frame(av_frame_alloc());
  if (packet == nullptr || frame == nullptr) {
    context.reset();
    slice_thread_budget.give_back(threads);
    return fail("failed to create H.264 decoder: out of memory");
  }
  return std::unique_ptr<H264Decoder>(
      new H264Decoder(wid, std::move(context), std::move(packet), std::move(frame), threads));
}

H264Decoder::H264Decoder(std::uint64_t wid, CodecContextHandle decoder, AvPacketHandle packet,
                         AvFrameHandle frame, int threads)
    : wid_(wid),
      decoder_(std::move(decoder)),
      packet_(std::move(packet)),
      frame_(std::move(frame)),
      threads_(threads) {}

H264Decoder::~H264Decoder() {
  // Threads end with their codec context or converter; only then may another decoder have them.
  release_converter();
  decoder_.reset();
  slice_thread_budget.give_back(threads_);
}

Result<std::optional<Bytes>> H264Decoder::decode(std::int32_t width, std::int32_t height,
                                                 std::span<const std::uint8_t> data,
                                                 std::optional<bool> full_range) {
  if (width < 1 || height < 1) return fail("invalid zero frame size");
  if (width > kMaxPictureSide || height > kMaxPictureSide) {
    return fail("frame size {}x{} exceeds the limit of {} pixels a side", width, height,
                kMaxPictureSide);
  }
  if (picture_too_large(width, height)) {
    return fail("frame size {}x{} exceeds the limit of {} pixels", width, height,
                kMaxPicturePixels);
  }
  if (full_range && *full_range != full_range_) {
    full_range_ = *full_range;
    converter_dirty_ = true;
  }
  // Every frame the draw releases is converted into the same picture; the last one stays.
  std::optional<Bytes> kept;
  Status decoded;
  for (std::span<const std::uint8_t> unit : split_access_units(data)) {
    decoded = send_access_unit(unit);
    if (decoded) decoded = drain(width, height, kept);
    if (!decoded) break;
  }
  if (!decoded) {
    if (kept) picture_buffers().give_back(std::move(*kept));
    return decoded.error();
  }
  return kept;
}

Status H264Decoder::send_access_unit(std::span<const std::uint8_t> unit) {
  input_.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  std::memcpy(input_.data(), unit.data(), unit.size());
  std::memset(input_.data() + unit.size(), 0, AV_INPUT_BUFFER_PADDING_SIZE);
  av_packet_unref(packet_.get());
  packet_->data = input_.data();
  packet_->size = static_cast<int>(unit.size());
  packet_->pts = static_cast<std::int64_t>(frame_count_) * kSampleDuration;
  packet_->duration = kSampleDuration;
  ++frame_count_;
  const int rc = avcodec_send_packet(decoder_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  // A unit of stream headers alone is taken in but reported as holding no frame.
  if (rc == AVERROR_INVALIDDATA && !contains_slice(unit)) return {};
  if (rc < 0) return fail("decoder avcodec_send_packet: {}", av_error_text(rc));
  return {};
}

Status H264Decoder::drain(std::int32_t width, std::int32_t height, std::optional<Bytes>& kept) {
  for (;;) {
    const int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return {};
    if (rc < 0) return fail("decoder avcodec_receive_frame: {}", av_error_text(rc));
    Status converted = convert_to_bgra(*frame_, width, height, kept);
    av_frame_unref(frame_.get());
    if (!converted) return converted;
  }
}

Status H264Decoder::set_up_converter(const ConverterSetup& setup, std::int32_t width,
                                     std::int32_t height) {
  release_converter();
  converter_dirty_ = true;
  const bool large = std::int64_t{width} * std::int64_t{height} >= kMinThreadedConvertPixels;
  const int threads = large ? converter_thread_budget.take() : 1;
  ConverterHandle converter(sws_alloc_context());
  const auto src_format = static_cast<AVPixelFormat>(setup.src_format);
  const bool set = converter != nullptr &&
                   av_opt_set_int(converter.get(), "srcw", setup.src_width, 0) >= 0 &&
                   av_opt_set_int(converter.get(), "srch", setup.src_height, 0) >= 0 &&
                   av_opt_set_pixel_fmt(converter.get(), "src_format", src_format, 0) >= 0 &&
                   av_opt_set_int(converter.get(), "dstw", width, 0) >= 0 &&
                   av_opt_set_int(converter.get(), "dsth", height, 0) >= 0 &&
                   av_opt_set_pixel_fmt(converter.get(), "dst_format", AV_PIX_FMT_BGR0, 0) >= 0 &&
                   av_opt_set_int(converter.get(), "sws_flags", SWS_BILINEAR, 0) >= 0 &&
                   av_opt_set_int(converter.get(), "threads", threads, 0) >= 0 &&
                   sws_init_context(converter.get(), nullptr, nullptr) >= 0;
  if (!set) {
    converter_thread_budget.give_back(threads);
    return fail("sws_getContext: cannot convert {}x{} {} to {}x{} bgr0", setup.src_width,
                setup.src_height, av_get_pix_fmt_name(src_format), width, height);
  }
  converter_ = std::move(converter);
  converter_threads_ = threads;
  const int* matrix = sws_getCoefficients(setup.colorspace);
  const int rc =
      sws_setColorspaceDetails(converter_.get(), matrix, full_range_ ? 1 : 0,
                               sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  if (rc < 0) {
    release_converter();
    return fail("sws_setColorspaceDetails: {}", av_error_text(rc));
  }
  converter_input_ = setup;
  converter_width_ = static_cast<std::uint32_t>(width);
  converter_height_ = static_cast<std::uint32_t>(height);
  converter_dirty_ = false;
  ++converter_setups_;
  return {};
}

void H264Decoder::release_converter() {
  converter_.reset();
  converter_thread_budget.give_back(std::exchange(converter_threads_, 1));
}

Status H264Decoder::scale_into(const AVFrame& frame, std::uint8_t* destination, std::size_t size,
                               std::size_t stride) {
  if (converter_threads_ > 1) {
    // Only the frame interface spreads the rows over the converter's threads.
    AvFrameHandle out(av_frame_alloc());
    if (out == nullptr) return fail("sws_scale_frame: out of memory");
    out->buf[0] = av_buffer_create(destination, size, keep_picture, nullptr, 0);
    if (out->buf[0] == nullptr) return fail("sws_scale_frame: out of memory");
    out->data[0] = destination;
    out->linesize[0] = static_cast<int>(stride);
    out->width = static_cast<int>(converter_width_);
    out->height = static_cast<int>(converter_height_);
    out->format = AV_PIX_FMT_BGR0;
    if (const int rc = sws_scale_frame(converter_.get(), out.get(), &frame); rc < 0) {
      return fail("sws_scale_frame: {}", av_error_text(rc));
    }
    return {};
  }
  std::uint8_t* const planes[4] = {destination, nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
  const int rows =
      sws_scale(converter_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides);
  if (rows <= 0) return fail("sws_scale: {}", rows < 0 ? av_error_text(rows) : "no rows written");
  return {};
}

Status H264Decoder::convert_to_bgra(const AVFrame& frame, std::int32_t width, std::int32_t height,
                                    std::optional<Bytes>& picture) {
  const ConverterSetup setup{frame.width, frame.height,
                             without_range(static_cast<AVPixelFormat>(frame.format)),
                             matrix_of(frame)};
  if (converter_dirty_ || converter_ == nullptr || setup != converter_input_ ||
      converter_width_ != static_cast<std::uint32_t>(width) ||
      converter_height_ != static_cast<std::uint32_t>(height)) {
    if (Status ready = set_up_converter(setup, width, height); !ready) return ready.error();
  }
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  if (!picture) picture = picture_buffers().take(stride * static_cast<std::size_t>(height));
  const std::size_t padded_stride = converter_stride(width);
  if (padded_stride == stride) {
    // Whole blocks fill every row exactly, so a reused buffer needs no clearing.
    if (Status scaled = scale_into(frame, picture->data(), picture->size(), stride); !scaled) {
      return scaled;
    }
  } else {
    // Cleared each time: columns the converter leaves are black, never an earlier picture.
    const std::size_t rows = static_cast<std::size_t>(height);
    scratch_.assign(padded_stride * rows + kConverterSlack, 0);
    if (Status scaled = scale_into(frame, scratch_.data(), scratch_.size(), padded_stride);
        !scaled) {
      return scaled;
    }
    for (std::size_t row = 0; row < rows; ++row) {
      std::memcpy(picture->data() + row * stride, scratch_.data() + row * padded_stride, stride);
    }
  }
  log_trace(kLog, "convert_to_bgra: {}x{} -> {} bytes", width, height, picture->size());
  return {};
}

Result<std::optional<Bytes>> decode_h264_draw(H264DecoderMap& decoders, std::uint64_t wid,
                                              std::int32_t width, std::int32_t height,
                                              std::span<const std::uint8_t> data,
                                              std::optional<bool> full_range) {
  auto it = decoders.find(wid);
  if (it == decoders.end()) {
    auto created = H264Decoder::create(wid);
    if (!created) return created.error();
    it = decoders.emplace(wid, std::move(*created)).first;
  }
  return it->second->decode(width, height, data, full_range);
}

}  // namespace nolv
