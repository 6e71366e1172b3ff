#include "client/png.h"

#include <spng.h>

namespace nolv {

std::string png_error_text(int code) {
  return spng_strerror(code);
}

void PngReader::Free::operator()(spng_ctx* ctx) const {
  spng_ctx_free(ctx);
}

Result<PngReader, PngError> PngReader::open(std::span<const std::uint8_t> data,
                                            const PngLimits& limits) {
  PngReader png(std::unique_ptr<spng_ctx, Free>(spng_ctx_new(0)));
  spng_ctx* ctx = png.ctx_.get();
  if (ctx == nullptr) return PngError{PngStep::Init, SPNG_EMEM};
  if (int rc = spng_set_image_limits(ctx, limits.max_side, limits.max_side); rc != 0)
    return PngError{PngStep::Init, rc};
  if (int rc = spng_set_chunk_limits(ctx, limits.max_chunk_bytes, limits.max_chunk_bytes); rc != 0)
    return PngError{PngStep::Init, rc};
  if (int rc = spng_set_png_buffer(ctx, data.data(), data.size()); rc != 0)
    return PngError{PngStep::Buffer, rc};
  spng_ihdr ihdr{};
  if (int rc = spng_get_ihdr(ctx, &ihdr); rc != 0) return PngError{PngStep::Header, rc};
  if (int rc = spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &png.rgba_size_); rc != 0)
    return PngError{PngStep::Size, rc};
  png.width_ = ihdr.width;
  png.height_ = ihdr.height;
  return png;
}

Result<void, PngError> PngReader::decode_rgba(std::span<std::uint8_t> out) {
  if (int rc = spng_decode_image(ctx_.get(), out.data(), out.size(), SPNG_FMT_RGBA8, 0); rc != 0)
    return PngError{PngStep::Decode, rc};
  return {};
}

}  // namespace nolv
