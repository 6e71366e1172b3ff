// Clipboard text kept in step between the local clipboard and the server's "CLIPBOARD"
// selection: the event-loop handlers of the clipboard packets and the "clipboard" thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "net/packet.h"
#include "platform/clipboard.h"
#include "platform/event_proxy.h"
#include "util/channel.h"

namespace nolv {

inline constexpr std::array<std::string_view, 5> CLIPBOARD_TARGETS = {
    "UTF8_STRING", "TEXT", "STRING", "text/plain;charset=utf-8", "text/plain"};

// How often the thread looks at the local clipboard.
inline constexpr auto kClipboardPollInterval = std::chrono::milliseconds(500);

struct ClipboardCommand {
  std::string text;  // to put on the local clipboard
};

// Unbounded: the event loop never waits on it, and each text is bounded by kMaxClipboardText.
// The thread waits on it in the clipboard itself (`recv_until` with the access as waiter), so
// that the clipboard can answer other programs meanwhile.
using ClipboardReceiver = Receiver<ClipboardCommand>;

// The sending end, owned by the `Client`. Destroying it closes the channel and waits for the
// thread, which then stops.
class ClipboardSender {
 public:
  ClipboardSender(const ClipboardSender&) = delete;
  ClipboardSender& operator=(const ClipboardSender&) = delete;
  ClipboardSender(Sender<ClipboardCommand> channel, std::jthread thread);
  ClipboardSender(ClipboardSender&&) noexcept;
  ClipboardSender& operator=(ClipboardSender&&) noexcept;
  ~ClipboardSender();
  // Never blocks. False when the thread has stopped.
  bool send(ClipboardCommand command) const;

 private:
  void close();
  Sender<ClipboardCommand> channel_;
  std::jthread thread_;
};

// Starts the thread named "clipboard" over the given clipboard (the installed one when null).
ClipboardSender start_clipboard_thread(EventLoopProxy proxy,
                                       std::shared_ptr<ClipboardAccess> access = nullptr);

// The thread body: polls the clipboard every `poll` and applies the commands; returns when the
// channel closes, `stop` is requested or a post fails.
void clipboard_thread(ClipboardReceiver receiver, EventLoopProxy proxy, ClipboardAccess& access,
                      std::stop_token stop,
                      std::chrono::steady_clock::duration poll = kClipboardPollInterval);

// Writes the text; on success it becomes `last`.
void set_clipboard_text(ClipboardAccess& access, std::string text, std::string& last,
                        std::stop_token stop);

// Item `e` must be "bytes"; item `d` (raw chunk or base64 text) the text.
std::optional<std::string> clipboard_data_bytes(Packet& packet, std::uint8_t encoding_index,
                                                std::uint8_t data_index);

// The session's side of the clipboard: the text last exchanged with the server, whether the
// server wants clipboard traffic, and the running "clipboard" thread.
class ClipboardSync {
 public:
  explicit ClipboardSync(std::function<void(Value)> send_packet)
      : send_packet_(std::move(send_packet)) {}

  bool enabled() const { return enabled_; }
  const std::string& text() const { return text_; }
  bool started() const { return sender_.has_value(); }

  void send_clipboard_request() const;
  void set_clipboard_from_server(std::string text);

  void on_set_clipboard_enabled(const Packet& packet);
  void on_clipboard_token(Packet& packet);
  void on_clipboard_data(Packet& packet);
  void on_clipboard_request(const Packet& packet) const;
  void on_clipboard_contents(Packet& packet);
  void on_clipboard_changed(const Packet& packet);

  // The server-hello step: starts the thread and turns the synchronisation on, once.
  void start(const EventLoopProxy& proxy, std::shared_ptr<ClipboardAccess> access = nullptr);

  // Runs the handler for the packet's name; false when the name is not a clipboard packet.
  bool dispatch(Packet& packet);

 private:
  std::function<void(Value)> send_packet_;
  bool enabled_ = false;
  std::string text_;
  // Destroying it closes the channel and waits for the "clipboard" thread.
  std::optional<ClipboardSender> sender_;
};

// The "clipboard-data" packet that announces a local text.
Value clipboard_data_packet(const std::string& text);

}  // namespace nolv
