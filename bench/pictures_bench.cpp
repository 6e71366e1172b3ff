// 1080p pictures through the client's path (decode thread, painting into the back buffer,
// presenting through the window's draw_screen with the damage of the draws that one redraw
// coalesces) beside the bare library decode of the same input (H.264: one thread plus the
// conversion to B, G, R, X, on a one-slice and a four-slice clip), and the painter's conversion
// beside memcpy. The 1080p inputs are made with ffmpeg at start-up.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "client/bands.h"
#include "client/draw_decoder.h"
#include "client/h264_decoder.h"
#include "client/paint_draw.h"
#include "client/picture_buffers.h"
#include "client/scaling.h"
#include "client/window.h"

namespace nolv {
namespace {

constexpr std::uint32_t kW = 1920;
constexpr std::uint32_t kH = 1080;

struct Inputs {
  std::vector<Bytes> units;         // one slice a frame
  std::vector<Bytes> sliced_units;  // four slices a frame
  Bytes jpeg;
  bool ok = false;
};

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<Bytes> h264_clip(const std::string& dir, int slices) {
  const std::string path = dir + "/bench1080-" + std::to_string(slices) + ".h264";
  const std::string make =
      "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -frames:v 60 "
      "-c:v libx264 -preset veryfast -crf 23 -tune zerolatency -profile:v baseline "
      "-x264-params sliced-threads=0:slices=" +
      std::to_string(slices) + " -pix_fmt yuv420p -bsf:v h264_mp4toannexb -f h264 " + path;
  std::vector<Bytes> units;
  if (std::system(make.c_str()) != 0) return units;
  const Bytes stream = read_file(path);
  for (auto unit : split_access_units(stream)) units.emplace_back(unit.begin(), unit.end());
  std::remove(path.c_str());
  return units;
}

const Inputs& inputs() {
  static const Inputs in = [] {
    Inputs i;
    char dir_template[] = "/tmp/nolv-bench-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return i;
    const std::string d = dir;
    const std::string jpeg = d + "/bench1080.jpg";
    const std::string make_jpeg =
        "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=1920x1080 -frames:v 1 -q:v 3 " + jpeg;
    if (std::system(make_jpeg.c_str()) != 0) return i;
    i.jpeg = read_file(jpeg);
    std::remove(jpeg.c_str());
    i.units = h264_clip(d, 1);
    i.sliced_units = h264_clip(d, 4);
    std::remove(dir);
    i.ok = !i.units.empty() && !i.sliced_units.empty() && !i.jpeg.empty();
    return i;
  }();
  return in;
}

// Hands the decode thread's results to the benchmark thread, as the event loop would.
class QueueSink : public EventSink {
 public:
  bool post(Packet packet) override {
    return channel_.sender.send(std::move(packet)) == SendOutcome::Sent;
  }
  Packet wait() { return std::move(*channel_.receiver.recv()); }

 private:
  Channel<Packet> channel_ = Channel<Packet>::open();
};

Packet draw_packet(std::uint64_t wid, const char* coding, const Bytes& data,
                   std::uint64_t sequence) {
  Packet p;
  p.items = {Yaml::string("draw"),
             Yaml::integer(static_cast<std::int64_t>(wid)),
             Yaml::integer(0),
             Yaml::integer(0),
             Yaml::integer(kW),
             Yaml::integer(kH),
             Yaml::string(coding),
             Yaml::string(""),
             Yaml::integer(static_cast<std::int64_t>(sequence)),
             Yaml::integer(0)};
  p.chunks[7] = data;  // the copy the reader makes when it collects the raw chunk
  return p;
}

// A pixel surface in memory that, like the toolkit's backing store, keeps its picture between
// presents (age 1).
class MemorySurface : public Surface {
 public:
  Status resize(std::uint32_t width, std::uint32_t height) override {
    width_ = width;
    height_ = height;
    pixels_.assign(std::size_t{width} * height, 0);
    return {};
  }
  Result<SurfaceBuffer> buffer() override {
    return SurfaceBuffer{pixels_, width_, height_, static_cast<std::uint8_t>(presented_ ? 1 : 0)};
  }
  Status present() override {
    presented_ = true;
    return {};
  }
  Status present_with_damage(std::span<const Rect>) override { return present(); }

 private:
  std::vector<std::uint32_t> pixels_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool presented_ = false;
};

// A window as the client keeps it, presented through its own draw_screen.
struct BenchWindow {
  BandWorkers bands;
  ClientWindow w;

  explicit BenchWindow(double s) {
    w.scale = s;
    w.server_w = kW;
    w.server_h = kH;
    w.local_w = static_cast<std::uint32_t>(kW * s + 0.5);
    w.local_h = static_cast<std::uint32_t>(kH * s + 0.5);
    w.back_buffer.assign(std::size_t{kW} * kH, 0);
    w.column_map = build_index_map(w.local_w, kW, s);
    w.row_map = build_index_map(w.local_h, kH, s);
    w.surface = std::make_unique<MemorySurface>();
    w.bands = &bands;
    if (!w.surface->resize(w.local_w, w.local_h)) std::abort();
  }

  // Paints as the event loop does, the pixel buffer going back for the next decode.
  void paint(Packet& decoded) {
    DecodedDraw draw = read_decoded_draw(decoded);
    PaintTarget target{w.back_buffer, w.server_w,     w.server_h, w.local_w, w.local_h,
                       w.scale,       w.track_damage, &w.damage,  w.bands};
    if (paint_decoded_draw(target, draw) != PaintOutcome::Painted) std::abort();
    picture_buffers().give_back(std::move(draw.pixels));
  }

  void present() {
    if (!w.draw_screen()) std::abort();
  }
};

// The Time column is the milliseconds per frame; this adds the frames per second.
void set_fps(benchmark::State& state) {
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

Packet eos_packet(std::uint64_t wid) {
  Packet p;
  p.items = {Yaml::string("eos"), Yaml::integer(static_cast<std::int64_t>(wid))};
  return p;
}

// One decode thread with its channel, as the main routine starts it.
struct DecodePath {
  std::shared_ptr<QueueSink> sink = std::make_shared<QueueSink>();
  DecodeChannel channel = DecodeChannel::open();
  DecodePath() { start_decoding_thread(std::move(channel.receiver), EventLoopProxy(sink)); }
  DecodePath(const DecodePath&) = delete;
  DecodePath& operator=(const DecodePath&) = delete;
  ~DecodePath() { channel.sender = DecodeSender(); }
};

// Arguments: the scale in percent, and how many draws are in flight at once: 1 measures the
// latency of one frame through both threads, 2 lets decoding overlap painting as in a session.
void BM_ClientPath(benchmark::State& state, const char* coding) {
  const Inputs& in = inputs();
  if (!in.ok) return state.SkipWithError("ffmpeg could not make the 1080p inputs");
  const bool h264 = std::strcmp(coding, "h264") == 0;
  BenchWindow window(static_cast<double>(state.range(0)) / 100.0);
  const auto in_flight = static_cast<int>(state.range(1));
  const std::vector<Bytes>& units = state.range(2) == 1 ? in.units : in.sliced_units;
  DecodePath path;
  std::uint64_t wid = 1;
  std::size_t next = 0;
  auto send_next = [&] {
    if (h264 && next == units.size()) {
      // A new stream on a new window (the first unit holds the headers and the IDR frame); the
      // old window's decoder is released as a session would release it.
      if (path.channel.sender.send(eos_packet(wid)) != SendOutcome::Sent) std::abort();
      ++wid;
      next = 0;
    }
    const Bytes& data = h264 ? units[next++] : in.jpeg;
    if (path.channel.sender.send(draw_packet(wid, coding, data, next)) != SendOutcome::Sent)
      std::abort();
  };
  for (int i = 0; i < in_flight; ++i) send_next();
  // The toolkit coalesces the redraws that the draws in flight request: one present for each
  // `in_flight` paints, with their damage accumulated.
  std::int64_t painted = 0;
  for (auto _ : state) {
    Packet decoded = path.sink->wait();
    window.paint(decoded);
    if (++painted % in_flight == 0) window.present();
    send_next();
  }
  for (int i = 0; i < in_flight; ++i) path.sink->wait();
  set_fps(state);
}

// The library alone as any client calls it: one thread, low delay, and each frame converted to
// B, G, R, X (limited-range BT.601 in) into one reused buffer. Argument: slices a frame.
void BM_BareH264Decode(benchmark::State& state) {
  const Inputs& in = inputs();
  if (!in.ok) return state.SkipWithError("ffmpeg could not make the 1080p inputs");
  const std::vector<Bytes>& units = state.range(0) == 1 ? in.units : in.sliced_units;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  Bytes out(std::size_t{kW} * kH * 4);
  std::size_t next = units.size();
  Bytes padded;
  for (auto _ : state) {
    if (next == units.size()) {
      state.PauseTiming();
      avcodec_free_context(&ctx);
      ctx = avcodec_alloc_context3(codec);
      ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
      ctx->thread_count = 1;
      if (avcodec_open2(ctx, codec, nullptr) < 0) std::abort();
      next = 0;
      state.ResumeTiming();
    }
    const Bytes& unit = units[next++];
    padded.assign(unit.begin(), unit.end());
    padded.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = static_cast<int>(unit.size());
    if (avcodec_send_packet(ctx, pkt) < 0) std::abort();
    int got = 0;
    while (avcodec_receive_frame(ctx, frame) == 0) {
      if (sws == nullptr) {
        sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                             kW, kH, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
        const int* matrix = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(sws, matrix, 0, matrix, 1, 0, 1 << 16, 1 << 16);
      }
      std::uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
      const int strides[4] = {static_cast<int>(kW * 4), 0, 0, 0};
      sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
      ++got;
      av_frame_unref(frame);
    }
    if (got != 1) std::abort();
    benchmark::DoNotOptimize(out.data());
  }
  sws_freeContext(sws);
  avcodec_free_context(&ctx);
  av_frame_free(&frame);
  pkt->data = nullptr;
  av_packet_free(&pkt);
  set_fps(state);
}

void BM_BareJpegDecode(benchmark::State& state) {
  const Inputs& in = inputs();
  if (!in.ok) return state.SkipWithError("ffmpeg could not make the 1080p inputs");
  tjhandle tj = tjInitDecompress();
  Bytes out(std::size_t{kW} * kH * 4);
  for (auto _ : state) {
    if (tjDecompress2(tj, in.jpeg.data(), in.jpeg.size(), out.data(), kW, kW * 4, kH, TJPF_BGRA,
                      0) != 0) {
      std::abort();
    }
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(tj);
  set_fps(state);
}

// The decoding step alone, on the calling thread: library decode plus conversion to B, G, R, X.
void BM_DecodeStep(benchmark::State& state, const char* coding) {
  const Inputs& in = inputs();
  if (!in.ok) return state.SkipWithError("ffmpeg could not make the 1080p inputs");
  const bool h264 = std::strcmp(coding, "h264") == 0;
  const std::vector<Bytes>& units = state.range(0) == 1 ? in.units : in.sliced_units;
  H264DecoderMap decoders;
  std::uint64_t wid = 1;
  std::size_t next = 0;
  for (auto _ : state) {
    if (h264 && next == units.size()) {
      decoders.erase(wid);
      ++wid;
      next = 0;
    }
    const Bytes& data = h264 ? units[next++] : in.jpeg;
    Packet draw = draw_packet(wid, coding, data, next);
    Packet decoded = decode_draw(draw, decoders);
    if (decoded.chunks.at(7).empty()) std::abort();
    benchmark::DoNotOptimize(decoded.chunks.at(7).data());
    picture_buffers().give_back(std::move(decoded.chunks.at(7)));
  }
  set_fps(state);
}

// Argument: 1 with the helper threads that split a large picture, 0 on the calling thread alone.
void BM_PaintConvert(benchmark::State& state, const char* coding) {
  const Bytes pixels(std::size_t{kW} * kH * 4, 0x5a);
  std::vector<std::uint32_t> back(std::size_t{kW} * kH);
  BandWorkers bands;
  BandWorkers* helpers = state.range(0) == 1 ? &bands : nullptr;
  for (auto _ : state) {
    paint_rect(back, kW, kH, 0, 0, kW, kH, pixel_order_of(coding), pixels, helpers);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(pixels.size()));
}

// One present of a fully damaged 1080p window through draw_screen, the event loop's share of a
// frame beside painting: at scale 1.0 a copy, at 1.5 the rescale to 2880x1620. Second argument:
// 1 with the helper threads, 0 on the calling thread alone.
void BM_Present(benchmark::State& state) {
  BenchWindow window(static_cast<double>(state.range(0)) / 100.0);
  if (state.range(1) == 0) window.w.bands = nullptr;
  window.present();  // the first present has no buffer age and copies everything anyway
  const Rect whole{0, 0, window.w.local_w, window.w.local_h};
  for (auto _ : state) {
    window.w.damage.push_back(whole);
    window.present();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(std::uint64_t{whole.width} * whole.height * 4));
}

void BM_Memcpy(benchmark::State& state) {
  const Bytes pixels(std::size_t{kW} * kH * 4, 0x5a);
  std::vector<std::uint32_t> back(std::size_t{kW} * kH);
  for (auto _ : state) {
    std::memcpy(back.data(), pixels.data(), pixels.size());
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(pixels.size()));
}

BENCHMARK(BM_BareH264Decode)
    ->Arg(1)
    ->Arg(4)
    ->ArgName("slices")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodeStep, h264, "h264")
    ->Arg(1)
    ->Arg(4)
    ->ArgName("slices")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ClientPath, h264, "h264")
    ->ArgsProduct({{100, 150}, {1, 2}, {1, 4}})
    ->ArgNames({"scale%", "in_flight", "slices"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BareJpegDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodeStep, jpeg, "jpeg")
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_ClientPath, jpeg, "jpeg")
    ->ArgsProduct({{100, 150}, {1, 2}, {1}})
    ->ArgNames({"scale%", "in_flight", "slices"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PaintConvert, bgrx, "jpeg")
    ->Arg(0)
    ->Arg(1)
    ->ArgName("helpers")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PaintConvert, rgba, "png")
    ->Arg(0)
    ->Arg(1)
    ->ArgName("helpers")
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Present)
    ->ArgsProduct({{100, 150}, {0, 1}})
    ->ArgNames({"scale%", "helpers"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace nolv

BENCHMARK_MAIN();
