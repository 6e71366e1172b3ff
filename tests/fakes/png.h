// PNG files built in memory for tests of image decoding.
#pragma once

#include <spng.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace nolv {

// A PNG of `width` x `height` pixels; `pixels` has 3 (truecolor) or 4 (with alpha) bytes per
// pixel. Empty when libspng refuses.
inline std::vector<std::uint8_t> encode_png(std::uint32_t width, std::uint32_t height,
                                            const std::vector<std::uint8_t>& pixels,
                                            bool alpha = true) {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  std::vector<std::uint8_t> out;
  if (ctx == nullptr) return out;
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = 8;
  ihdr.color_type = alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
  spng_set_ihdr(ctx, &ihdr);
  if (spng_encode_image(ctx, pixels.data(), pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) ==
      0) {
    std::size_t len = 0;
    int error = 0;
    void* buffer = spng_get_png_buffer(ctx, &len, &error);
    if (buffer != nullptr) {
      const auto* bytes = static_cast<const std::uint8_t*>(buffer);
      out.assign(bytes, bytes + len);
      std::free(buffer);
    }
  }
  spng_ctx_free(ctx);
  return out;
}

// An RGBA image whose pixel (x, y) is (x, y, x ^ y, 255 - x), so that every pixel says where it
// came from (for sides up to 256).
inline std::vector<std::uint8_t> coordinate_pixels(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> p;
  p.reserve(std::size_t{width} * height * 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      p.push_back(static_cast<std::uint8_t>(x));
      p.push_back(static_cast<std::uint8_t>(y));
      p.push_back(static_cast<std::uint8_t>(x ^ y));
      p.push_back(static_cast<std::uint8_t>(255 - x));
    }
  }
  return p;
}

}  // namespace nolv
