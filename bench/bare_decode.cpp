// The libraries alone, as any client would call them, over the same inputs the end-to-end
// benchmark sends: the rate that the client's picture path is measured against.
//
//   bare_decode jpeg SECONDS FILE...   one TurboJPEG handle, each file decoded to B, G, R, A into
//                                      one reused buffer, the files in turn
//   bare_decode h264 SECONDS FILE      an Annex-B stream decoded on one thread (low delay), each
//                                      frame converted to B, G, R, X at its own size into one
//                                      reused buffer; the stream starts again at its end
//
// Prints "fps N frames N seconds N".
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "client/h264_decoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "bare_decode: cannot read %s\n", path);
    std::exit(2);
  }
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void report(long frames, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::printf("fps %.2f frames %ld seconds %.3f\n", frames / seconds, frames, seconds);
}

int jpeg(double seconds, const std::vector<Bytes>& files) {
  tjhandle tj = tjInitDecompress();
  Bytes out;
  long frames = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (const Bytes& f : files) {
      int w = 0, h = 0, sub = 0, cs = 0;
      if (tjDecompressHeader3(tj, f.data(), f.size(), &w, &h, &sub, &cs) != 0) return 1;
      out.resize(std::size_t(w) * h * 4);
      if (tjDecompress2(tj, f.data(), f.size(), out.data(), w, w * 4, h, TJPF_BGRA, 0) != 0)
        return 1;
      ++frames;
    }
  }
  report(frames, Clock::now() - start);
  tjDestroy(tj);
  return 0;
}

int h264(double seconds, const Bytes& stream) {
  std::vector<Bytes> units;
  for (auto unit : nolv::split_access_units(stream)) {
    Bytes padded(unit.begin(), unit.end());
    padded.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    units.push_back(std::move(padded));
  }
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  ctx->thread_count = 1;
  if (avcodec_open2(ctx, codec, nullptr) < 0) return 1;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  Bytes out;
  long frames = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (const Bytes& unit : units) {
      pkt->data = const_cast<std::uint8_t*>(unit.data());
      pkt->size = static_cast<int>(unit.size() - AV_INPUT_BUFFER_PADDING_SIZE);
      if (avcodec_send_packet(ctx, pkt) < 0) continue;  // headers alone
      while (avcodec_receive_frame(ctx, frame) == 0) {
        if (sws == nullptr) {
          // The client's conversion: limited-range BT.601 in, full-range B, G, R, X out.
          sws = sws_getContext(
              frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
              frame->height, AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
          if (sws == nullptr) return 1;
          const int* matrix = sws_getCoefficients(SWS_CS_DEFAULT);
          sws_setColorspaceDetails(sws, matrix, 0, matrix, 1, 0, 1 << 16, 1 << 16);
        }
        out.resize(std::size_t(frame->width) * frame->height * 4);
        std::uint8_t* planes[4] = {out.data(), nullptr, nullptr, nullptr};
        const int strides[4] = {frame->width * 4, 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
        av_frame_unref(frame);
        ++frames;
      }
    }
  }
  report(frames, Clock::now() - start);
  pkt->data = nullptr;
  av_packet_free(&pkt);
  av_frame_free(&frame);
  sws_freeContext(sws);
  avcodec_free_context(&ctx);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: bare_decode jpeg SECONDS FILE... | bare_decode h264 SECONDS FILE\n");
    return 2;
  }
  const std::string kind = argv[1];
  const double seconds = std::atof(argv[2]);
  if (kind == "jpeg") {
    std::vector<Bytes> files;
    for (int i = 3; i < argc; ++i) files.push_back(read_file(argv[i]));
    return jpeg(seconds, files);
  }
  if (kind == "h264") return h264(seconds, read_file(argv[3]));
  std::fprintf(stderr, "bare_decode: unknown kind %s\n", kind.c_str());
  return 2;
}
