#include "client/picture_buffers.h"

#include <malloc.h>

#include <algorithm>
#include <utility>

namespace nolv {

Bytes PictureBuffers::take(std::size_t size) {
  Bytes buffer;
  {
    std::lock_guard lock(mutex_);
    // The smallest buffer already that long (shrinking a vector writes nothing), else one whose
    // capacity holds it (only the grown tail is filled).
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->size() >= size && (best == free_.end() || it->size() < best->size())) best = it;
    }
    if (best == free_.end()) {
      best = std::find_if(free_.begin(), free_.end(),
                          [&](const Bytes& b) { return b.capacity() >= size; });
    }
    if (best != free_.end()) {
      buffer = std::move(*best);
      free_.erase(best);
      kept_bytes_ -= buffer.capacity();
    }
  }
  buffer.resize(size);
  return buffer;
}

void PictureBuffers::give_back(Bytes buffer) {
  const std::size_t bytes = buffer.capacity();
  if (bytes < kMinRecycledPictureBytes || bytes > kRecycledPictureBytes) return;
  std::lock_guard lock(mutex_);
  if (free_.size() >= kRecycledPictures || kept_bytes_ + bytes > kRecycledPictureBytes) return;
  kept_bytes_ += bytes;
  free_.push_back(std::move(buffer));
}

std::size_t PictureBuffers::kept_bytes() {
  std::lock_guard lock(mutex_);
  return kept_bytes_;
}

void PictureBuffers::release() {
  std::vector<Bytes> kept;
  {
    std::lock_guard lock(mutex_);
    kept = std::exchange(free_, {});
    kept_bytes_ = 0;
  }
  if (kept.empty()) return;
  kept.clear();
  // The allocator may keep freed pictures in its own pools, where they still count as ours.
  malloc_trim(0);
}

PictureBuffers& picture_buffers() {
  // Never destroyed: the detached decode thread may still take or release buffers while the
  // process runs its exit handlers.
  static PictureBuffers& buffers = *new PictureBuffers;
  return buffers;
}

}  // namespace nolv
