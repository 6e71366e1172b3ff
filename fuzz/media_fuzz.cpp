// Picture and audio payloads from the network: decode_draw for each coding with fuzzed sizes,
// the cursor and icon PNG decoder, and OpusHead parsing.
//
// Input: byte 0 picks the decoder (0 jpeg, 1 png, 2 webp, 3 h264 draws, 4 cursor png, 5 OpusHead),
// bytes 1-4 are the draw's width and height (signed 16-bit, big-endian, to reach negative and
// zero sides), the rest is the payload. A draw's data goes in raw chunk 7 as the server sends it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "client/audio.h"
#include "client/cursor.h"
#include "client/draw_decoder.h"
#include "client/h264_decoder.h"

namespace {

const char* const kCodings[] = {"jpeg", "png", "webp", "h264"};

std::int64_t side(const std::uint8_t* b) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] << 8 | b[1]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint8_t which = data[0] % 6;
  const std::span<const std::uint8_t> payload(data + 5, size - 5);
  if (which == 4) {
    (void)nolv::decode_png_rgba(payload);
    return 0;
  }
  if (which == 5) {
    (void)nolv::OpusHeader::parse(nolv::Bytes(payload.begin(), payload.end()));
    return 0;
  }
  using nolv::Yaml;
  nolv::Packet draw;
  draw.items = {Yaml::string("draw"),
                Yaml::integer(1),
                Yaml::integer(0),
                Yaml::integer(0),
                Yaml::integer(side(data + 1)),
                Yaml::integer(side(data + 3)),
                Yaml::string(kCodings[which]),
                Yaml::string(""),
                Yaml::integer(1),
                Yaml::integer(0),
                Yaml::hash({})};
  draw.chunks[7] = nolv::Bytes(payload.begin(), payload.end());
  nolv::H264DecoderMap decoders;
  nolv::Packet result = decode_draw(draw, decoders);
  if (result.items.empty()) __builtin_trap();  // always "draw-decoded" or "decoding-failed"
  return 0;
}
