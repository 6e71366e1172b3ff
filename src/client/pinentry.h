// The external password prompter, spoken to over the Assuan protocol on its standard input and
// output, on a thread of its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/event_proxy.h"
#include "util/result.h"

namespace nolv {

struct PinentryRequest {
  EventLoopProxy proxy;
  std::string program;      // full path
  std::string description;  // "Enter {prompt}", also the fallback event's payload
};

// The body of the "pinentry" thread: posts exactly one of "challenge-password",
// "challenge-cancel" or "challenge-fallback-dialog".
void run_pinentry(PinentryRequest request);

// What the dialogue yields: a password, none (cancelled), or an error.
using PinentryOutcome = Result<std::optional<std::string>>;

// The dialogue with a running program over its two pipe ends; `gpg_tty` adds the OPTION step.
PinentryOutcome pinentry_dialogue(int to_child, int from_child, std::string_view description,
                                  const std::optional<std::string>& gpg_tty);

// "%" -> "%25", CR -> "%0D", LF -> "%0A".
std::string assuan_escape(std::string_view text);
// "%XX" with two hex digits -> the byte; invalid UTF-8 afterwards becomes U+FFFD.
std::string assuan_unescape(std::string_view text);

}  // namespace nolv
