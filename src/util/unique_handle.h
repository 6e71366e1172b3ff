// Owners of C library objects and file descriptors. Move-only, so nothing is freed or closed
// twice.
#pragma once

#include <memory>
#include <utility>

namespace nolv {

template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* object) const {
    Release(object);
  }
};

// `Release` is called once, on a non-null pointer, when the owner is dropped or reset.
template <typename T, auto Release>
using UniqueHandle = std::unique_ptr<T, ReleaseWith<Release>>;

// An owned file descriptor, closed when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace nolv
