// Decoded pictures are large (8 MB at 1080p) and made at the frame rate. Once painted their
// buffers come back here and the decode thread takes them again, so a draw neither zero-fills a
// fresh buffer nor faults in new pages.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "net/packet.h"

namespace nolv {

// Buffers kept for reuse: two draws in flight need one being decoded and one being painted.
inline constexpr std::size_t kRecycledPictures = 2;
// Bytes kept for reuse at most: two 4K pictures (3840 x 2160 x 4 each).
inline constexpr std::size_t kRecycledPictureBytes = 80 * 1024 * 1024;
// Smaller pictures are cheap to allocate and not worth keeping.
inline constexpr std::size_t kMinRecycledPictureBytes = 256 * 1024;
// The decode thread lets go of the kept buffers once no draw has come for this long: a stream
// this slow pays little for new buffers, and a quiet client does not hold 16 MB for nothing.
inline constexpr std::chrono::milliseconds kIdlePictureRelease{250};

class PictureBuffers {
 public:
  // A buffer of exactly `size` bytes. A reused one holds whatever it last held, so the caller
  // writes every byte; only a new one (or a grown tail) is zero-filled.
  [[nodiscard]] Bytes take(std::size_t size);
  // Keeps the buffer for a later take while the bounds above allow, else frees it.
  void give_back(Bytes buffer);
  [[nodiscard]] std::size_t kept_bytes();
  // Frees every kept buffer and hands the freed memory back to the system.
  void release();

 private:
  std::mutex mutex_;
  std::vector<Bytes> free_;
  std::size_t kept_bytes_ = 0;
};

// The one set shared by the decode thread (takes) and the event loop (gives back).
PictureBuffers& picture_buffers();

}  // namespace nolv
