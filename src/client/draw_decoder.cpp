#include "client/draw_decoder.h"

#include <chrono>
#include <limits>
#include <string>

#include <turbojpeg.h>
#include <webp/decode.h>

#include "client/picture_buffers.h"
#include "client/png.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/log.h"
#include "util/thread.h"
#include "util/unique_handle.h"

namespace nolv {

namespace {

constexpr std::string_view kClientLog = "nolv::client::client";
constexpr std::string_view kDecoderLog = "nolv::client::draw_decoder";

// Compressed ancillary PNG chunks (text, ICC profiles) inflate on decoding; a picture never
// needs more than this of them.
constexpr std::size_t kPngChunkLimit = 64 * 1024 * 1024;

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

bool is_release_packet(const std::string& type) {
  return type == "lost-window" || type == "window-destroy" || type == "eos" || type == "window-eos";
}

std::string too_large(std::int64_t width, std::int64_t height) {
  if (width > kMaxPictureSide || height > kMaxPictureSide)
    return fmt::format("picture of {}x{} exceeds the limit of {} pixels a side", width, height,
                       kMaxPictureSide);
  return fmt::format("picture of {}x{} exceeds the limit of {} pixels", width, height,
                     kMaxPicturePixels);
}

// The optional "full-range" flag of the options item, read only when the draw has one.
std::optional<bool> full_range_option(const std::vector<Yaml>& items) {
  if (items.size() <= draw_item::kOptions) return std::nullopt;
  return yaml_dict_get_bool(items[draw_item::kOptions], "full-range");
}

using TjHandle = UniqueHandle<void, tjDestroy>;

// One decompressor per thread: making one per draw costs its allocations every frame. After a
// failure it may be left mid-picture and refuse the next one, so it is made anew.
TjHandle& thread_jpeg_decompressor() {
  thread_local TjHandle tj;
  if (tj == nullptr) tj.reset(tjInitDecompress());
  return tj;
}

std::string jpeg_failure(TjHandle& tj, std::string_view step) {
  std::string message = fmt::format("{}: {}", step, tjGetErrorStr2(tj.get()));
  tj.reset();
  return message;
}

Result<std::optional<Bytes>> decode_by_coding(const std::string& coding,
                                              std::span<const std::uint8_t> data, std::uint64_t wid,
                                              std::int32_t width, std::int32_t height,
                                              std::optional<bool> full_range,
                                              H264DecoderMap& decoders) {
  if (coding == "h264") return decode_h264_draw(decoders, wid, width, height, data, full_range);
  if (coding == "mmap") return fail("received an mmap draw without an mmap area");
  log_debug(kDecoderLog, "decode {}: {} bytes", log_value(coding), data.size());
  if (log_enabled(LogLevel::Trace)) log_trace(kDecoderLog, "data={}", log_bytes(data));
  Result<Bytes> pixels = Error{};
  if (coding == "jpeg") {
    pixels = decode_jpeg_bgra(data);
  } else if (coding == "png") {
    pixels = decode_png_rgba8(data);
  } else if (coding == "webp") {
    pixels = decode_webp_bgra(data);
  } else {
    return fail("unsupported encoding {}", coding);
  }
  if (!pixels) return pixels.error();
  return std::optional<Bytes>(std::move(*pixels));
}

}  // namespace

// --- Decoders by coding --------------------------------------------------------------------

Result<Bytes> decode_jpeg_bgra(std::span<const std::uint8_t> data) {
  TjHandle& tj = thread_jpeg_decompressor();
  if (tj == nullptr) {
    return fail("jpeg decoder initialization failed: {}", tjGetErrorStr2(nullptr));
  }
  if (data.size() > static_cast<std::size_t>(kInt32Max)) {
    return fail("jpeg decoding failed: {} bytes of data do not fit the decoder", data.size());
  }
  int width = 0;
  int height = 0;
  int subsampling = 0;
  int colorspace = 0;
  if (tjDecompressHeader3(tj.get(), data.data(), static_cast<unsigned long>(data.size()), &width,
                          &height, &subsampling, &colorspace) != 0) {
    return fail("{}", jpeg_failure(tj, "invalid jpeg header"));
  }
  if (picture_too_large(width, height)) {
    return fail("invalid jpeg header: {}", too_large(width, height));
  }
  const std::int64_t pitch = static_cast<std::int64_t>(width) * 4;
  Bytes pixels =
      picture_buffers().take(static_cast<std::size_t>(pitch) * static_cast<std::size_t>(height));
  // Scan limit: a progressive file of many tiny scans would otherwise keep the thread busy.
  if (tjDecompress2(tj.get(), data.data(), static_cast<unsigned long>(data.size()), pixels.data(),
                    width, static_cast<int>(pitch), height, TJPF_BGRA, TJFLAG_LIMITSCANS) != 0) {
    picture_buffers().give_back(std::move(pixels));
    return fail("{}", jpeg_failure(tj, "jpeg decoding failed"));
  }
  return pixels;
}

Result<Bytes> decode_png_rgba8(std::span<const std::uint8_t> data) {
  auto opened =
      PngReader::open(data, PngLimits{static_cast<std::uint32_t>(kMaxPictureSide), kPngChunkLimit});
  if (!opened) {
    const std::string text = png_error_text(opened.error().code);
    switch (opened.error().step) {
      case PngStep::Init:
        return fail("png decoder initialization failed: {}", text);
      case PngStep::Buffer:
        return fail("invalid png: {}", text);
      default:
        return fail("invalid png image size: {}", text);
    }
  }
  PngReader& png = *opened;
  if (picture_too_large(png.width(), png.height())) {
    return fail("invalid png image size: {}", too_large(png.width(), png.height()));
  }
  Bytes pixels = picture_buffers().take(png.rgba_size());
  if (auto decoded = png.decode_rgba(pixels); !decoded) {
    picture_buffers().give_back(std::move(pixels));
    return fail("png decoding failed: {}", png_error_text(decoded.error().code));
  }
  return pixels;
}

Result<Bytes> decode_webp_bgra(std::span<const std::uint8_t> data) {
  int width = 0;
  int height = 0;
  if (WebPGetInfo(data.data(), data.size(), &width, &height) == 0) {
    return fail("webp decoding failed");
  }
  if (width <= 0 || height <= 0) return fail("invalid webp image size {}x{}", width, height);
  if (picture_too_large(width, height)) {
    return fail("webp decoding failed: {}", too_large(width, height));
  }
  // Straight into our own buffer: the library's would only be copied and freed.
  const int stride = width * 4;
  Bytes pixels =
      picture_buffers().take(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
  if (WebPDecodeBGRAInto(data.data(), data.size(), pixels.data(), pixels.size(), stride) ==
      nullptr) {
    picture_buffers().give_back(std::move(pixels));
    return fail("webp decoding failed");
  }
  return pixels;
}

// --- The reader's hand-over ----------------------------------------------------------------

namespace {

bool goes_to_decoder(std::string_view name) {
  return name == "draw" || name == "window-draw" || name == "eos" || name == "window-eos";
}

bool ends_window(std::string_view name) {
  return name == "lost-window" || name == "window-destroy";
}

bool creates_window(std::string_view name) {
  return name == "new-window" || name == "window-create" || name == "new-override-redirect";
}

Packet decoder_release(std::uint64_t wid) {
  Packet release;
  release.items = {Yaml::string("lost-window"), Yaml::integer(static_cast<std::int64_t>(wid))};
  return release;
}

}  // namespace

bool DrawRoute::post(Packet packet) {
  std::vector<Packet> one;
  one.push_back(std::move(packet));
  return post_batch(std::move(one));
}

bool DrawRoute::post_batch(std::vector<Packet> packets) {
  std::vector<Packet> for_loop;
  for (Packet& packet : packets) {
    const std::string name = packet.from_server ? packet_get_str(packet.items, 0) : std::string();
    const std::uint64_t wid = packet_get_usize(packet.items, draw_item::kWid);
    if (creates_window(name) && windows_.size() < kMaxRoutedWindows) windows_.insert(wid);
    if (ends_window(name)) {
      windows_.erase(wid);
      to_decoder(decoder_release(wid));
    }
    if (!goes_to_decoder(name)) {
      for_loop.push_back(std::move(packet));
      continue;
    }
    if (!for_loop.empty() && !loop_.send_events(std::exchange(for_loop, {}))) return false;
    const bool orphan = !windows_.contains(wid) &&
                        packet_get_str(packet.items, draw_item::kCoding) == "h264" &&
                        (name == "draw" || name == "window-draw");
    to_decoder(std::move(packet));
    if (orphan) to_decoder(decoder_release(wid));
  }
  return for_loop.empty() || loop_.send_events(std::move(for_loop));
}

void DrawRoute::to_decoder(Packet packet) {
  if (decode_.send(std::move(packet)) != SendOutcome::Sent) {
    log_error(kClientLog, "cannot decode: the decoding thread has stopped");
  }
}

// --- The thread ----------------------------------------------------------------------------

Packet decode_draw(Packet& draw, H264DecoderMap& decoders) {
  const DrawItems items = read_draw_items(draw.items);
  const std::uint64_t wid = items.wid;
  // The H.264 decoder takes signed sides and refuses what is not positive.
  const auto width = static_cast<std::int32_t>(items.width);
  const auto height = static_cast<std::int32_t>(items.height);
  const std::string& coding = items.coding;
  const std::uint64_t sequence = items.packet_sequence;
  log_debug(kClientLog, "wid {} got {}x{} {} draw packet", wid, width, height, log_value(coding));
  const bool complete = draw.items.size() >= kMinDrawItems;
  const Bytes data =
      complete && coding != "mmap" ? packet_get_bytes(draw, draw_item::kData) : Bytes();
  const std::optional<bool> full_range =
      coding == "h264" ? full_range_option(draw.items) : std::nullopt;

  // The draw is ours: its items move into the result, the compressed data stays behind.
  // The items stay charged to the session until painted: a draw's list may take far more
  // than its pixels, and the decoded-pictures budget counts only those.
  Packet result;
  result.items = std::move(draw.items);
  result.charge = std::move(draw.charge);
  const auto start = std::chrono::steady_clock::now();
  Result<std::optional<Bytes>> decoded =
      complete ? decode_by_coding(coding, data, wid, width, height, full_range, decoders)
               : Result<std::optional<Bytes>>(fail("draw packet has {} items, at least {} needed",
                                                   result.items.size(), kMinDrawItems));
  auto elapsed = std::chrono::steady_clock::now() - start;
  if (elapsed < elapsed.zero()) elapsed = elapsed.zero();
  log_trace(kClientLog, "perf: draw packet: {}x{} {} decoded in {}", width, height,
            log_value(coding),
            format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed)));

  if (result.items.size() < kMinDrawItems) result.items.resize(kMinDrawItems);
  if (!decoded) {
    log_error(kClientLog, "draw decoding error for {} sequence {}: {}", log_value(coding), sequence,
              log_value(decoded.message()));
    result.items[draw_item::kType] = Yaml::string("decoding-failed");
    result.items[draw_item::kData] = Yaml::string(decoded.message());
    return result;
  }
  result.items[draw_item::kType] = Yaml::string("draw-decoded");
  result.chunks[draw_item::kData] = decoded->has_value() ? std::move(**decoded) : Bytes();
  result.decode_time_us = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  return result;
}

std::optional<Packet> receive_or_idle(DecodeReceiver& receiver, std::chrono::milliseconds idle,
                                      const std::function<void()>& on_idle) {
  Receipt<Packet> received = receiver.recv_until(std::chrono::steady_clock::now() + idle);
  if (received.status != RecvStatus::Empty) return std::move(received.value);
  on_idle();
  return receiver.recv();
}

void decoding_thread(DecodeThreadContext context) {
  log_info(kClientLog, "decoding thread started");
  H264DecoderMap decoders;
  for (;;) {
    std::optional<Packet> packet =
        receive_or_idle(context.receiver, kIdlePictureRelease, [] { picture_buffers().release(); });
    if (!packet) {
      log_debug(kClientLog, "decoding thread stopping");
      break;
    }
    const std::string type = packet_get_str(packet->items, draw_item::kType);
    if (is_release_packet(type)) {
      const std::uint64_t wid = packet_get_usize(packet->items, draw_item::kWid);
      if (decoders.erase(wid) > 0) {
        log_debug(kClientLog, "released h264 decoder for {} on window {}", type, wid);
      }
      continue;
    }
    if (!context.proxy.send_event(decode_draw(*packet, decoders))) break;
  }
}

void decoding_thread_entry(DecodeThreadContext context) {
  decoding_thread(std::move(context));
}

void start_decoding_thread(DecodeReceiver receiver, EventLoopProxy proxy) {
  Status started = spawn_detached(
      "decode",
      [context = DecodeThreadContext{std::move(receiver), std::move(proxy)}]() mutable {
        decoding_thread_entry(std::move(context));
      },
      kDecodeThreadStack);
  if (!started) fatal(fmt::format("failed to start the decode thread: {}", started.message()));
}

}  // namespace nolv
