// 1080p pictures through the client's path (decode thread, painting into the back buffer,
// rescale to the local size through the index tables) beside the bare library decode of the same
// input, and the painter's conversion beside memcpy. The 1080p inputs are made with ffmpeg at
// start-up.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <condition_variable>
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
}

#include "client/draw_decoder.h"
#include "client/mediafoundation.h"
#include "client/paint_draw.h"
#include "client/scaling.h"

namespace nolv {
namespace {

constexpr std::uint32_t kW = 1920;
constexpr std::uint32_t kH = 1080;

struct Inputs {
  Bytes h264;
  std::vector<Bytes> units;
  Bytes jpeg;
  bool ok = false;
};

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

const Inputs& inputs() {
  static const Inputs in = [] {
    Inputs i;
    char dir_template[] = "/tmp/nolv-bench-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return i;
    const std::string d = dir;
    const std::string h264 = d + "/bench1080.h264";
    const std::string jpeg = d + "/bench1080.jpg";
    const std::string make_h264 =
        "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -frames:v 60 "
        "-c:v libx264 -preset veryfast -crf 23 -tune zerolatency -pix_fmt yuv420p -bsf:v "
        "h264_mp4toannexb -f h264 " +
        h264;
    const std::string make_jpeg =
        "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=1920x1080 -frames:v 1 -q:v 3 " + jpeg;
    if (std::system(make_h264.c_str()) != 0 || std::system(make_jpeg.c_str()) != 0) return i;
    i.h264 = read_file(h264);
    i.jpeg = read_file(jpeg);
    for (auto unit : split_access_units(i.h264)) i.units.emplace_back(unit.begin(), unit.end());
    std::remove(h264.c_str());
    std::remove(jpeg.c_str());
    std::remove(dir);
    i.ok = !i.units.empty() && !i.jpeg.empty();
    return i;
  }();
  return in;
}

// Hands the decode thread's results to the benchmark thread, as the event loop would.
class QueueSink : public EventSink {
 public:
  bool post(Packet packet) override {
    {
      std::lock_guard lock(mutex_);
      packets_.push_back(std::move(packet));
    }
    ready_.notify_one();
    return true;
  }
  Packet wait() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !packets_.empty(); });
    Packet p = std::move(packets_.front());
    packets_.pop_front();
    return p;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Packet> packets_;
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

// A window: server-size back buffer, local surface and the rescaling index tables.
struct BenchWindow {
  double scale;
  std::uint32_t local_w;
  std::uint32_t local_h;
  std::vector<std::uint32_t> back_buffer;
  std::vector<std::uint32_t> surface;
  std::vector<std::uint32_t> column_map;
  std::vector<std::uint32_t> row_map;
  std::vector<Rect> damage;

  explicit BenchWindow(double s)
      : scale(s),
        local_w(static_cast<std::uint32_t>(kW * s + 0.5)),
        local_h(static_cast<std::uint32_t>(kH * s + 0.5)),
        back_buffer(std::size_t{kW} * kH),
        surface(std::size_t{local_w} * local_h),
        column_map(build_index_map(local_w, kW, s)),
        row_map(build_index_map(local_h, kH, s)) {}

  void paint(Packet& decoded) {
    DecodedDraw draw = read_decoded_draw(decoded);
    PaintTarget target{back_buffer, kW, kH, local_w, local_h, scale, true, &damage};
    if (paint_decoded_draw(target, draw) != PaintOutcome::Painted) std::abort();
  }

  // What presenting does with the damage: a row copy at equal sizes, else the index tables.
  void present() {
    for (const Rect& r : damage) {
      if (local_w == kW && local_h == kH) {
        for (std::uint32_t y = r.y; y < r.y + r.height; ++y) {
          std::memcpy(surface.data() + std::size_t{y} * local_w + r.x,
                      back_buffer.data() + std::size_t{y} * kW + r.x, r.width * 4);
        }
      } else {
        scale_rect(back_buffer, kW, surface, local_w, r, column_map, row_map);
      }
    }
    damage.clear();
    benchmark::DoNotOptimize(surface.data());
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
  DecodePath path;
  std::uint64_t wid = 1;
  std::size_t next = 0;
  auto send_next = [&] {
    if (h264 && next == in.units.size()) {
      // A new stream on a new window (the first unit holds the headers and the IDR frame); the
      // old window's decoder is released as a session would release it.
      if (!path.channel.sender.send(eos_packet(wid))) std::abort();
      ++wid;
      next = 0;
    }
    const Bytes& data = h264 ? in.units[next++] : in.jpeg;
    if (!path.channel.sender.send(draw_packet(wid, coding, data, next))) std::abort();
  };
  for (int i = 0; i < in_flight; ++i) send_next();
  for (auto _ : state) {
    Packet decoded = path.sink->wait();
    window.paint(decoded);
    window.present();
    send_next();
  }
  for (int i = 0; i < in_flight; ++i) path.sink->wait();
  set_fps(state);
}

void BM_BareH264Decode(benchmark::State& state) {
  const Inputs& in = inputs();
  if (!in.ok) return state.SkipWithError("ffmpeg could not make the 1080p inputs");
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::size_t next = in.units.size();
  Bytes padded;
  for (auto _ : state) {
    if (next == in.units.size()) {
      state.PauseTiming();
      avcodec_free_context(&ctx);
      ctx = avcodec_alloc_context3(codec);
      ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
      ctx->thread_type = FF_THREAD_SLICE;
      ctx->thread_count = 0;
      if (avcodec_open2(ctx, codec, nullptr) < 0) std::abort();
      next = 0;
      state.ResumeTiming();
    }
    const Bytes& unit = in.units[next++];
    padded.assign(unit.begin(), unit.end());
    padded.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    pkt->data = padded.data();
    pkt->size = static_cast<int>(unit.size());
    if (avcodec_send_packet(ctx, pkt) < 0) std::abort();
    int got = 0;
    while (avcodec_receive_frame(ctx, frame) == 0) {
      ++got;
      av_frame_unref(frame);
    }
    if (got != 1) std::abort();
  }
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
  H264DecoderMap decoders;
  std::uint64_t wid = 1;
  std::size_t next = 0;
  for (auto _ : state) {
    if (h264 && next == in.units.size()) {
      decoders.erase(wid);
      ++wid;
      next = 0;
    }
    const Bytes& data = h264 ? in.units[next++] : in.jpeg;
    Packet draw = draw_packet(wid, coding, data, next);
    Packet decoded = decode_draw(draw, decoders);
    if (decoded.chunks.at(7).empty()) std::abort();
    benchmark::DoNotOptimize(decoded.chunks.at(7).data());
  }
  set_fps(state);
}

void BM_PaintConvert(benchmark::State& state, const char* coding) {
  const Bytes pixels(std::size_t{kW} * kH * 4, 0x5a);
  std::vector<std::uint32_t> back(std::size_t{kW} * kH);
  for (auto _ : state) {
    paint_rect(back, kW, kH, 0, 0, kW, kH, pixel_order_of(coding), pixels);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(pixels.size()));
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

BENCHMARK(BM_BareH264Decode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodeStep, h264, "h264")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ClientPath, h264, "h264")
    ->ArgsProduct({{100, 150}, {1, 2}})
    ->ArgNames({"scale%", "in_flight"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BareJpegDecode)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_DecodeStep, jpeg, "jpeg")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_ClientPath, jpeg, "jpeg")
    ->ArgsProduct({{100, 150}, {1, 2}})
    ->ArgNames({"scale%", "in_flight"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PaintConvert, bgrx, "jpeg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PaintConvert, rgba, "png")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace nolv

BENCHMARK_MAIN();
