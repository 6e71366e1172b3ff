// JPEG, PNG and WebP pictures of every width up to 70 and of the widths real windows have, each
// decoded through decode_draw into a buffer that ends where the picture does (so a write past it
// shows in the sanitized build, or, from inside a decoding library, in the heap-checked run of
// tests/CMakeLists.txt) and compared column by column with an independent decoder's reading of
// the same file.
#include <gtest/gtest.h>
#include <spng.h>
#include <turbojpeg.h>
#include <unistd.h>
#include <webp/encode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "client/draw_decoder.h"
#include "client/picture_buffers.h"
#include "unit/client/picture_fixtures.h"

namespace nolv {
namespace {

using test::make_draw;
using test::run_to_bytes;

struct Size {
  int width;
  int height;
};

std::vector<Size> sweep_sizes() {
  std::vector<Size> sizes;
  for (const int height : {1, 7, 64}) {
    for (int width = 1; width <= 70; ++width) sizes.push_back({width, height});
    for (const int width : {1000, 1366, 1368, 1440, 1600, 2560, 3840}) {
      sizes.push_back({width, height});
    }
  }
  return sizes;
}

std::uint8_t clamp_byte(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// B, G, R, A. Luma jumps by at least 37 levels from one column to the next, so a column shifted
// or skipped is off by far more than any tolerance below, and one left unwritten shows as zero
// alpha or colour; chroma drifts slowly (under 3 levels a pixel) and never drives a channel past
// its range, so decoders that upsample it differently still agree closely. Alpha never reaches
// 0, where encoders may rewrite the colour.
Bytes source_bgra(Size size, bool alpha) {
  Bytes p;
  p.reserve(static_cast<std::size_t>(size.width) * size.height * 4);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const double luma = 64 + (x * 37 + y * 23) % 128;
      const double cb = 24 * std::sin(x / 9.0 + y / 13.0);
      const double cr = 24 * std::cos(x / 11.0 - y / 7.0);
      p.push_back(clamp_byte(luma + 1.772 * cb));
      p.push_back(clamp_byte(luma - 0.344136 * cb - 0.714136 * cr));
      p.push_back(clamp_byte(luma + 1.402 * cr));
      p.push_back(alpha ? static_cast<std::uint8_t>(40 + (x * 11 + y * 5) % 216) : 255);
    }
  }
  return p;
}

// --- Encoders ------------------------------------------------------------------------------

Bytes encode_jpeg(Size size, int subsampling, int flags) {
  const Bytes bgra = source_bgra(size, false);
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  Bytes jpeg;
  if (tjCompress2(tj, bgra.data(), size.width, size.width * 4, size.height, TJPF_BGRA, &out,
                  &out_size, subsampling, 90, flags) == 0) {
    jpeg.assign(out, out + out_size);
  }
  tjFree(out);
  tjDestroy(tj);
  return jpeg;
}

struct PngLayout {
  int color_type;
  int bit_depth;
};

// Samples packed as the file stores them, so the decoder's own unpacking is what is tried
// (several pixels a byte at the lower depths, two bytes a sample at 16).
Bytes png_rows(Size size, PngLayout layout) {
  const Bytes bgra = source_bgra(size, true);
  const int channels = layout.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA ? 4
                       : layout.color_type == SPNG_COLOR_TYPE_TRUECOLOR     ? 3
                                                                            : 1;
  const std::size_t bits_per_row = std::size_t(size.width) * channels * layout.bit_depth;
  const std::size_t row_bytes = (bits_per_row + 7) / 8;
  Bytes rows(row_bytes * size.height, 0);
  for (int y = 0; y < size.height; ++y) {
    std::uint8_t* row = rows.data() + row_bytes * y;
    for (int x = 0; x < size.width; ++x) {
      const std::uint8_t* px = bgra.data() + (std::size_t(y) * size.width + x) * 4;
      const std::uint8_t rgba[4] = {px[2], px[1], px[0], px[3]};
      if (channels == 1) {
        // Palette index or grey level of the pixel's luma, at the layout's depth.
        const int value = (px[1] >> (8 - layout.bit_depth));
        const std::size_t bit = std::size_t(x) * layout.bit_depth;
        row[bit / 8] |= static_cast<std::uint8_t>(value << (8 - layout.bit_depth - bit % 8));
        continue;
      }
      for (int c = 0; c < channels; ++c) {
        if (layout.bit_depth == 8) {
          row[x * channels + c] = rgba[c];
        } else {
          row[(x * channels + c) * 2] = rgba[c];
          row[(x * channels + c) * 2 + 1] = static_cast<std::uint8_t>(x * 13 + y + c * 64);
        }
      }
    }
  }
  return rows;
}

Bytes encode_png(Size size, PngLayout layout, bool interlaced) {
  const Bytes rows = png_rows(size, layout);
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  Bytes png;
  if (ctx == nullptr) return png;
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(size.width);
  ihdr.height = static_cast<std::uint32_t>(size.height);
  ihdr.bit_depth = static_cast<std::uint8_t>(layout.bit_depth);
  ihdr.color_type = static_cast<std::uint8_t>(layout.color_type);
  ihdr.interlace_method = interlaced ? SPNG_INTERLACE_ADAM7 : SPNG_INTERLACE_NONE;
  spng_set_ihdr(ctx, &ihdr);
  if (layout.color_type == SPNG_COLOR_TYPE_INDEXED) {
    spng_plte plte{};
    plte.n_entries = 1u << layout.bit_depth;
    for (std::uint32_t i = 0; i < plte.n_entries; ++i) {
      plte.entries[i] = {static_cast<std::uint8_t>(i * 97), static_cast<std::uint8_t>(255 - i * 13),
                         static_cast<std::uint8_t>(i * 41 + 7), 255};
    }
    spng_set_plte(ctx, &plte);
  }
  if (spng_encode_image(ctx, rows.data(), rows.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0) {
    std::size_t length = 0;
    int error = 0;
    if (void* buffer = spng_get_png_buffer(ctx, &length, &error); buffer != nullptr) {
      png.assign(static_cast<std::uint8_t*>(buffer), static_cast<std::uint8_t*>(buffer) + length);
      std::free(buffer);
    }
  }
  spng_ctx_free(ctx);
  return png;
}

enum class WebpKind { Lossless, Lossy, LossyAlpha };

Bytes encode_webp(Size size, WebpKind kind) {
  const Bytes bgra = source_bgra(size, kind != WebpKind::Lossy);
  std::uint8_t* out = nullptr;
  std::size_t length = 0;
  const int stride = size.width * 4;
  switch (kind) {
    case WebpKind::Lossless:
      length = WebPEncodeLosslessBGRA(bgra.data(), size.width, size.height, stride, &out);
      break;
    case WebpKind::Lossy: {
      Bytes bgr;
      for (std::size_t i = 0; i < bgra.size(); i += 4)
        bgr.insert(bgr.end(), &bgra[i], &bgra[i + 3]);
      length = WebPEncodeBGR(bgr.data(), size.width, size.height, size.width * 3, 95, &out);
      break;
    }
    case WebpKind::LossyAlpha:
      length = WebPEncodeBGRA(bgra.data(), size.width, size.height, stride, 95, &out);
      break;
  }
  Bytes webp(out, out + length);
  WebPFree(out);
  return webp;
}

// --- The sweep -----------------------------------------------------------------------------

struct Variant {
  const char* name;
  const char* coding;
  std::function<Bytes(Size)> encode;
  const char* demuxer;       // how the reference decoder reads a run of these files
  const char* pixel_format;  // the decoder's byte order, asked of the reference
  int tolerance;
};

// The reference: every picture of the variant read by the media tool's own decoders (not the
// libraries the client uses), in one run over the files laid end to end.
Bytes reference_pixels(const Variant& v, const std::vector<Bytes>& files) {
  const std::string path =
      ::testing::TempDir() + "sweep-" + v.name + "-" + std::to_string(::getpid());
  {
    std::ofstream out(path, std::ios::binary);
    for (const Bytes& f : files) out.write(reinterpret_cast<const char*>(f.data()), f.size());
  }
  // One thread: the reference sets its threads up again at every change of size, which costs
  // it seconds over a sweep.
  Bytes pixels = run_to_bytes(
      std::string("ffmpeg -nostdin -v error -filter_threads 1 -threads 1 -f ") + v.demuxer +
      " -i " + path + " -autoscale 0 -pix_fmt " + v.pixel_format + " -f rawvideo -");
  std::remove(path.c_str());
  return pixels;
}

void PrintTo(const Variant& v, std::ostream* os) {
  *os << v.name;
}

class PictureSweep : public ::testing::TestWithParam<Variant> {};

TEST_P(PictureSweep, EveryWidthDecodesEveryColumnWithinTheBuffer) {
  const Variant& v = GetParam();
  const std::vector<Size> sizes = sweep_sizes();
  std::vector<Bytes> files;
  std::size_t total = 0;
  for (const Size& s : sizes) {
    files.push_back(v.encode(s));
    ASSERT_FALSE(files.back().empty()) << s.width << "x" << s.height;
    total += std::size_t(s.width) * s.height * 4;
  }
  const Bytes reference = reference_pixels(v, files);
  ASSERT_EQ(reference.size(), total) << "the reference decoder read fewer pictures";

  std::size_t at = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const Size s = sizes[i];
    SCOPED_TRACE(::testing::Message() << v.name << " " << s.width << "x" << s.height);
    const std::size_t bytes = std::size_t(s.width) * s.height * 4;
    // Fresh buffers only: the picture then ends exactly where the allocation does.
    picture_buffers().release();
    H264DecoderMap decoders;
    Packet draw = make_draw(1, s.width, s.height, v.coding, std::move(files[i]));
    Packet result = decode_draw(draw, decoders);
    const std::string* type = result.items.at(0).as_string();
    ASSERT_TRUE(type != nullptr && *type == "draw-decoded")
        << (result.items.at(7).as_string() ? *result.items.at(7).as_string() : "");
    const Bytes& got = result.chunks.at(7);
    ASSERT_EQ(got.size(), bytes);
    ASSERT_EQ(got.capacity(), bytes) << "the buffer must end where the picture does";
    int worst = 0;
    std::size_t worst_at = 0;
    for (std::size_t b = 0; b < bytes; ++b) {
      const int diff = std::abs(int(got[b]) - int(reference[at + b]));
      if (diff > worst) {
        worst = diff;
        worst_at = b;
      }
    }
    EXPECT_LE(worst, v.tolerance) << "column " << worst_at / 4 % std::size_t(s.width) << " row "
                                  << worst_at / 4 / std::size_t(s.width) << " byte "
                                  << worst_at % 4;
    at += bytes;
  }
}

// Tolerances: lossless files decode to the same bytes, except that 16-bit samples may be cut to
// 8 bits by truncating or by rounding (1 level). A lossy file gives both decoders the same
// coefficients; they differ in their inverse transform and colour rounding (a level or two) and
// in how they upsample chroma (the client's libraries interpolate, the reference repeats
// samples), which over this source's slow chroma stays within 10 levels in 4:2:0 (9 seen for
// JPEG, 10 for WebP at quality 95). A shifted column is off by 30 or more.
constexpr int kLossy = 12;
const Variant kVariants[] = {
    {"jpeg_420", "jpeg", [](Size s) { return encode_jpeg(s, TJSAMP_420, 0); }, "jpeg_pipe", "bgra",
     kLossy},
    {"jpeg_422", "jpeg", [](Size s) { return encode_jpeg(s, TJSAMP_422, 0); }, "jpeg_pipe", "bgra",
     kLossy},
    {"jpeg_444", "jpeg", [](Size s) { return encode_jpeg(s, TJSAMP_444, 0); }, "jpeg_pipe", "bgra",
     kLossy},
    {"jpeg_420_progressive", "jpeg",
     [](Size s) { return encode_jpeg(s, TJSAMP_420, TJFLAG_PROGRESSIVE); }, "jpeg_pipe", "bgra",
     kLossy},
    {"png_rgba8", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8}, false);
     },
     "png_pipe", "rgba", 0},
    {"png_rgba8_interlaced", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8}, true);
     },
     "png_pipe", "rgba", 0},
    {"png_rgb8", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_TRUECOLOR, 8}, false);
     },
     "png_pipe", "rgba", 0},
    {"png_rgba16", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16}, false);
     },
     "png_pipe", "rgba", 1},
    {"png_gray1", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_GRAYSCALE, 1}, false);
     },
     "png_pipe", "rgba", 0},
    {"png_palette4", "png",
     [](Size s) {
       return encode_png(s, {SPNG_COLOR_TYPE_INDEXED, 4}, false);
     },
     "png_pipe", "rgba", 0},
    {"webp_lossless", "webp", [](Size s) { return encode_webp(s, WebpKind::Lossless); },
     "webp_pipe", "bgra", 0},
    {"webp_lossy", "webp", [](Size s) { return encode_webp(s, WebpKind::Lossy); }, "webp_pipe",
     "bgra", kLossy},
    {"webp_lossy_alpha", "webp", [](Size s) { return encode_webp(s, WebpKind::LossyAlpha); },
     "webp_pipe", "bgra", kLossy},
};

INSTANTIATE_TEST_SUITE_P(Formats, PictureSweep, ::testing::ValuesIn(kVariants),
                         [](const ::testing::TestParamInfo<Variant>& test_case) {
                           return std::string(test_case.param.name);
                         });

}  // namespace
}  // namespace nolv
