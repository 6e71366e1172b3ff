// Small formatters shared by the log lines of every module.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nolv {

// "1.5ms", "250µs", "2s", "0ns": the largest unit below which the value is not, with the
// fraction written without trailing zeros.
std::string format_duration(std::chrono::nanoseconds d);

// A string in double quotes with backslash escapes for quotes, backslashes and control
// characters ("a\"b\n", "\u{1b}").
std::string quoted_text(std::string_view text);

// A value the server controls, cut for a log line: at most kLogValueLimit bytes of it (never
// inside a UTF-8 sequence), then "…[N bytes cut]". A window title or reason of 32 MiB must
// not become 32 MiB of log.
inline constexpr std::size_t kLogValueLimit = 300;
std::string log_value(std::string_view text);

// A byte list as "[80, 4, 0]".
std::string format_bytes(std::span<const std::uint8_t> bytes);
// A byte list from the server, cut for a log line like log_value: whole numbers up to about
// kLogValueLimit characters, then "…[N bytes cut]" with N the bytes left out. Only the kept part
// is formatted, so a picture of megabytes costs no more than a short one.
std::string log_bytes(std::span<const std::uint8_t> bytes);

// The shortest decimal text that reads back to the same double (2 for 2.0, 1.5 for 1.5).
std::string format_shortest(double value);

}  // namespace nolv
