// PNG decoding to R, G, B, A bytes, for pictures, cursors and window icons alike. Each user
// words the failures its own way, so they come back as the step and the decoder's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "util/result.h"

struct spng_ctx;

namespace nolv {

struct PngLimits {
  // Sides beyond this are refused from the header, before anything is allocated.
  std::uint32_t max_side = 0;
  // What the ancillary chunks (text, colour profiles) may make us keep.
  std::size_t max_chunk_bytes = 0;
};

enum class PngStep : std::uint8_t { Init, Buffer, Header, Size, Decode };

struct PngError {
  PngStep step = PngStep::Init;
  int code = 0;  // the decoder's error code
};

// The decoder's own words for one of its codes.
std::string png_error_text(int code);

// A PNG whose header has been read: its sides and the RGBA8 byte count are known, the pixels
// are decoded into a buffer the caller provides.
class PngReader {
 public:
  static Result<PngReader, PngError> open(std::span<const std::uint8_t> data,
                                          const PngLimits& limits);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t rgba_size() const { return rgba_size_; }
  // Fills `out` (rgba_size() bytes) with R, G, B, A rows top to bottom.
  Result<void, PngError> decode_rgba(std::span<std::uint8_t> out);

 private:
  struct Free {
    void operator()(spng_ctx* ctx) const;
  };
  explicit PngReader(std::unique_ptr<spng_ctx, Free> ctx) : ctx_(std::move(ctx)) {}
  std::unique_ptr<spng_ctx, Free> ctx_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::size_t rgba_size_ = 0;
};

}  // namespace nolv
