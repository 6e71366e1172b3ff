#include "client/clipboard.h"

#include <mutex>

#include "client/client.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/log.h"
#include "util/text.h"
#include "util/thread.h"

namespace nolv {
namespace {

constexpr std::string_view kClientLog = "nolv::client::client";
constexpr std::string_view kThreadLog = "nolv::client::clipboard";

Packet clipboard_changed_event(std::string text) {
  Packet p;
  p.items.push_back(Yaml::string("clipboard-changed"));
  p.items.push_back(Yaml::string(std::move(text)));
  return p;
}

bool is_clipboard_target(std::string_view target) {
  for (std::string_view t : CLIPBOARD_TARGETS) {
    if (t == target) return true;
  }
  return false;
}

// The text of one "clipboard-data" entry: [target, format, "bytes", base64] with a non-empty
// decoded payload.
std::optional<Bytes> usable_data_entry(const Yaml* entry) {
  if (entry == nullptr) return std::nullopt;
  const Yaml::Array* items = entry->as_array();
  if (items == nullptr || items->size() < 4) return std::nullopt;
  const std::string* encoding = (*items)[2].as_string();
  if (encoding == nullptr || *encoding != "bytes") return std::nullopt;
  Bytes bytes = decode_yaml_bytes((*items)[3]);
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

bool too_large(std::size_t size, std::string_view from) {
  if (size <= kMaxClipboardText) return false;
  log_warn(kClientLog, "dropping a clipboard text of {} bytes from {}: the limit is {} bytes", size,
           from, kMaxClipboardText);
  return true;
}

}  // namespace

ClipboardSender::ClipboardSender(Sender<ClipboardCommand> channel, std::jthread thread)
    : channel_(std::move(channel)), thread_(std::move(thread)) {}

ClipboardSender::ClipboardSender(ClipboardSender&&) noexcept = default;

ClipboardSender& ClipboardSender::operator=(ClipboardSender&& other) noexcept {
  if (this != &other) {
    close();
    channel_ = std::move(other.channel_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

ClipboardSender::~ClipboardSender() {
  close();
}

void ClipboardSender::close() {
  channel_.close();
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  channel_ = Sender<ClipboardCommand>();
}

bool ClipboardSender::send(ClipboardCommand command) const {
  return channel_.send(std::move(command)) == SendOutcome::Sent;
}

namespace {

// Stands in where the platform has no clipboard.
class NoClipboard : public ClipboardAccess {
 public:
  Result<std::string> read_text(std::stop_token) override {
    return fail("no clipboard on this platform");
  }
  Status write_text(const std::string&, std::stop_token) override {
    return fail("no clipboard on this platform");
  }
};

}  // namespace

ClipboardSender start_clipboard_thread(EventLoopProxy proxy,
                                       std::shared_ptr<ClipboardAccess> access) {
  if (access == nullptr) access = std::make_shared<NoClipboard>();
  auto channel = Channel<ClipboardCommand>::open();
  Result<std::jthread> thread =
      spawn_joinable("clipboard", [receiver = std::move(channel.receiver), proxy = std::move(proxy),
                                   access = std::move(access)](std::stop_token stop) mutable {
        clipboard_thread(std::move(receiver), std::move(proxy), *access, std::move(stop));
      });
  if (!thread) fatal(fmt::format("failed to start the clipboard thread: {}", thread.message()));
  return ClipboardSender(std::move(channel.sender), std::move(thread).value());
}

void set_clipboard_text(ClipboardAccess& access, std::string text, std::string& last,
                        std::stop_token stop) {
  if (text.size() > kMaxClipboardText) {
    log_warn(kThreadLog, "not setting a clipboard text of {} bytes: the limit is {} bytes",
             text.size(), kMaxClipboardText);
    return;
  }
  if (Status s = access.write_text(text, stop); !s) {
    log_warn(kThreadLog, "failed to set the clipboard: {}", s.message());
    return;
  }
  last = std::move(text);
}

void clipboard_thread(ClipboardReceiver receiver, EventLoopProxy proxy, ClipboardAccess& access,
                      std::stop_token stop, std::chrono::steady_clock::duration poll) {
  log_info(kThreadLog, "clipboard thread started");
  const std::stop_callback wake_on_stop(stop, [&access] { access.wake(); });
  std::string last;
  if (auto text = access.read_text(stop)) last = std::move(*text);
  while (!stop.stop_requested()) {
    Receipt<ClipboardCommand> got =
        receiver.recv_until(std::chrono::steady_clock::now() + poll, access, stop);
    if (got.status == RecvStatus::Closed) break;
    if (got.value) {
      set_clipboard_text(access, std::move(got.value->text), last, stop);
      while (auto more = receiver.try_recv().value) {
        set_clipboard_text(access, std::move(more->text), last, stop);
      }
      continue;
    }
    auto text = access.read_text(stop);
    if (!text || text->empty() || *text == last) continue;
    last = std::move(*text);
    if (last.size() > kMaxClipboardText) {
      // Remembered in `last` so that the warning comes once per copy, not every poll.
      log_warn(kThreadLog, "not announcing a clipboard text of {} bytes: the limit is {} bytes",
               last.size(), kMaxClipboardText);
      continue;
    }
    if (!proxy.send_event(clipboard_changed_event(last))) break;
  }
  log_debug(kThreadLog, "clipboard thread stopping");
}

std::optional<std::string> clipboard_data_bytes(Packet& packet, std::uint8_t encoding_index,
                                                std::uint8_t data_index) {
  const std::string encoding = packet_get_str(packet.items, encoding_index);
  if (encoding != "bytes") {
    log_debug(kClientLog, "ignoring clipboard data with wire encoding {}", log_value(encoding));
    return std::nullopt;
  }
  Bytes bytes = packet_get_bytes(packet, data_index);
  if (bytes.empty()) return std::nullopt;
  if (too_large(bytes.size(), "the server")) return std::nullopt;
  return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Value clipboard_data_packet(const std::string& text) {
  Value targets = Value::array();
  for (std::string_view t : CLIPBOARD_TARGETS) targets.push_back(std::string(t));
  Value data = {{"UTF8_STRING", Value::array({"UTF8_STRING", 8, "bytes", text})}};
  Value props = {{"claim", true}, {"data", data}, {"greedy", true}, {"targets", targets}};
  return Value::array({"clipboard-data", "CLIPBOARD", props});
}

void ClipboardSync::send_clipboard_request() const {
  send_packet_(Value::array({"clipboard-request", 0, "CLIPBOARD", "UTF8_STRING"}));
}

void ClipboardSync::set_clipboard_from_server(std::string text) {
  text_ = text;
  if (sender_.has_value()) (void)sender_->send(ClipboardCommand{std::move(text)});
}

void ClipboardSync::start(const EventLoopProxy& proxy, std::shared_ptr<ClipboardAccess> access) {
  if (sender_.has_value()) return;
  sender_.emplace(start_clipboard_thread(proxy, std::move(access)));
  enabled_ = true;
  log_info(kClientLog, "clipboard sync enabled");
}

void ClipboardSync::on_set_clipboard_enabled(const Packet& packet) {
  enabled_ = packet_get_bool(packet.items);
  log_debug(kClientLog, "clipboard sync {}", enabled_ ? "enabled" : "disabled");
}

void ClipboardSync::on_clipboard_token(Packet& packet) {
  if (!enabled_) return;
  if (packet.items.size() >= 8) {
    if (auto text = clipboard_data_bytes(packet, 6, 7)) set_clipboard_from_server(std::move(*text));
    return;
  }
  send_clipboard_request();
}

void ClipboardSync::on_clipboard_data(Packet& packet) {
  if (!enabled_) return;
  const Yaml* data = packet.items.size() >= 3 ? yaml_dict_get(packet.items[2], "data") : nullptr;
  if (data == nullptr) {
    send_clipboard_request();
    return;
  }
  for (std::string_view target : CLIPBOARD_TARGETS) {
    auto bytes = usable_data_entry(yaml_dict_get(*data, target));
    if (!bytes) continue;
    // Asking again would bring the same text back, so a large one is only dropped.
    if (too_large(bytes->size(), "the server")) return;
    set_clipboard_from_server(
        utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
    return;
  }
  send_clipboard_request();
}

void ClipboardSync::on_clipboard_request(const Packet& packet) const {
  const std::uint64_t id = packet_get_usize(packet.items, 1);
  const std::string target = packet_get_str(packet.items, 3);
  if (is_clipboard_target(target) && enabled_ && !text_.empty()) {
    send_packet_(Value::array({"clipboard-contents", id, "CLIPBOARD", target, 8, "bytes", text_}));
    return;
  }
  send_packet_(Value::array({"clipboard-contents-none", id, "CLIPBOARD"}));
}

void ClipboardSync::on_clipboard_contents(Packet& packet) {
  if (!enabled_ || packet.items.size() < 7) return;
  if (auto text = clipboard_data_bytes(packet, 5, 6)) set_clipboard_from_server(std::move(*text));
}

void ClipboardSync::on_clipboard_changed(const Packet& packet) {
  if (!enabled_) return;
  std::string text = packet_get_str(packet.items, 1);
  if (text.empty() || text == text_) return;
  if (too_large(text.size(), "the local clipboard")) return;
  text_ = std::move(text);
  send_packet_(clipboard_data_packet(text_));
}

bool ClipboardSync::dispatch(Packet& packet) {
  const std::string name = packet_get_str(packet.items, 0);
  if (name == "set-clipboard-enabled" || name == "clipboard-status") {
    on_set_clipboard_enabled(packet);
  } else if (name == "clipboard-token") {
    on_clipboard_token(packet);
  } else if (name == "clipboard-data") {
    on_clipboard_data(packet);
  } else if (name == "clipboard-request") {
    on_clipboard_request(packet);
  } else if (name == "clipboard-contents") {
    on_clipboard_contents(packet);
  } else if (name == "clipboard-contents-none") {
    log_debug(kClientLog, "clipboard-contents-none");
  } else if (name == "clipboard-pending-requests") {
    // accepted without effect
  } else if (name == "clipboard-changed") {
    on_clipboard_changed(packet);
  } else {
    return false;
  }
  return true;
}

void Client::start_clipboard_sync() {
  clipboard_sync.start(proxy, clipboard_access);
}

void Client::handle_set_clipboard_enabled(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_set_clipboard_enabled(packet);
}

void Client::handle_clipboard_token(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_clipboard_token(packet);
}

void Client::handle_clipboard_data(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_clipboard_data(packet);
}

void Client::handle_clipboard_request(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_clipboard_request(packet);
}

void Client::handle_clipboard_contents(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_clipboard_contents(packet);
}

void Client::handle_clipboard_contents_none(ActiveEventLoop&, Packet&) {
  log_debug(kClientLog, "clipboard-contents-none");
}

void Client::handle_clipboard_changed(ActiveEventLoop&, Packet& packet) {
  clipboard_sync.on_clipboard_changed(packet);
}

}  // namespace nolv
