// Result values: either a value or an error carrying a "step: cause" message.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

namespace nolv {

struct Error {
  std::string message;
};

// Builds an Error from a format string: `return fail("connect: {}", why);`
template <typename... Args>
[[nodiscard]] Error fail(fmt::format_string<Args...> f, Args&&... args) {
  return Error{fmt::format(f, std::forward<Args>(args)...)};
}

// `E` is Error or another error type with a `message` field that also carries what its handler
// needs beyond the text (an exit code, whether a device went away).
template <typename T, typename E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const { return std::get<1>(state_); }
  const std::string& message() const { return error().message; }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return error_; }
  const std::string& message() const { return error_.message; }

 private:
  E error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace nolv
