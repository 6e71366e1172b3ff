#include "client/client.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "client/signals.h"
#include "net/io.h"
#include "util/fatal.h"
#include "util/format.h"
#include "util/saturating.h"
#include "util/text.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";

// A decimal floating-point text as a whole, with an optional leading sign.
std::optional<double> parse_double(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> environment_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

const std::vector<std::string>& supported_encodings() {
  static const std::vector<std::string> encodings = {"jpeg", "png", "webp", "h264"};
  return encodings;
}

double desktop_scale_factor(const std::optional<std::string>& setting, double automatic) {
  if (!(automatic > 0 && std::isfinite(automatic))) automatic = 1.0;
  double scale = automatic;
  if (setting) {
    const std::string text = ascii_lowercase(trim_white_space(*setting));
    if (text.empty() || text == "auto" || text == "on" || text == "yes" || text == "true") {
      scale = automatic;
    } else if (text == "off" || text == "no" || text == "false" || text == "0") {
      scale = 1.0;
    } else {
      std::string_view number = text;
      const bool percent = !number.empty() && number.back() == '%';
      while (!number.empty() && number.back() == '%') number.remove_suffix(1);
      const auto parsed = parse_double(number);
      if (parsed) {
        const double value = percent ? *parsed / 100.0 : *parsed;
        scale = value > 0 && std::isfinite(value) ? value : automatic;
      }
    }
  }
  return std::clamp(scale, 1.0, 4.0);
}

MonitorInfo monitor_logical_rect(const Monitor& monitor, double scale) {
  MonitorInfo info;
  info.name = monitor.name;
  info.refresh_rate = monitor.refresh_rate_millihertz;
  info.x = saturate_round<std::int32_t>(monitor.x / scale);
  info.y = saturate_round<std::int32_t>(monitor.y / scale);
  info.width = server_size(monitor.width, scale);
  info.height = server_size(monitor.height, scale);
  info.primary = monitor.primary;
  return info;
}

std::unique_ptr<Client> Client::create(ClientContext context, Transport transport,
                                       std::string target, std::optional<std::string> username,
                                       std::optional<std::string> password) {
  auto backlog = std::make_shared<Backlog>(kSessionBacklogLimit, kMaxWaitingDraws);
  auto failure = std::make_shared<WriteFailureSlot>();
  // The code is stored at the failure, so that whatever the loop handles before the posted event
  // cannot change it, and the event's handler knows that the failure was already reported.
  auto writer = PacketWriter::start(
      std::move(transport), backlog, [proxy = context.proxy, failure](const std::string& error) {
        log_error(kLog, "failed to send packet to the server: {}", error);
        failure->exit_code.store(failure->startup_complete ? ExitCode::ConnectionLost
                                                           : ExitCode::ConnectionFailed);
        remember_exit_code(*failure->exit_code.get());
        (void)proxy.send_event(make_internal_event("connection-lost", error));
      });
  if (!writer) fatal(fmt::format("failed to start the writer thread: {}", writer.message()));
  auto client = std::make_unique<Client>(std::move(*writer), std::move(backlog));
  client->write_failure = std::move(failure);
  client->proxy = context.proxy;
  client->reader_body = context.services.reader_body;
  client->decode_sender = context.decode_sender;
  client->log_forwarding = context.log_forwarding;
  client->bells = BellForwarding(std::move(context.services.bell));
  client->tray = TrayAndNotifications(std::move(context.services.tray_platform), context.proxy);
  client->clipboard_access = std::move(context.services.clipboard_access);
  if (context.services.audio_worker_body) {
    auto worker = start_audio_worker(std::move(context.services.audio_worker_body), context.proxy);
    if (worker) {
      client->audio_worker = std::move(*worker);
    } else {
      log_warn(kLog, "speaker forwarding unavailable: {}", worker.message());
    }
  }
  client->started_at = std::chrono::steady_clock::now();
  const std::optional<std::string> setting = environment_text("NOLV_KEYBOARD_LAYOUT");
  std::optional<std::string> system;
  if (context.services.system_keyboard_layout) system = context.services.system_keyboard_layout();
  client->keyboard.use_layout(choose_keyboard_layout(setting, system));
  client->target = std::move(target);
  client->username = std::move(username);
  client->challenge.use_dialog_password(std::move(password));
  return client;
}

Client::~Client() {
  // First, so that the farewell is on its way while the rest is taken down; the reader stops
  // waiting for room.
  writer->finish(kFarewellDeadline);
  backlog->close();
}

std::uint64_t Client::millis_since_start() const {
  const auto elapsed = std::chrono::steady_clock::now() - started_at;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void Client::startup(ActiveEventLoop& loop) {
  resumed = true;
  if (Status created = create_tray_icon(); !created) {
    log_warn(kLog, "system tray unavailable: {}", created.message());
  }
  if (reader_started) return;

  scale =
      desktop_scale_factor(environment_text("NOLV_DESKTOP_SCALING"), loop.primary_scale_factor());
  if (scale != 1.0) {
    log_info(kLog, "scaling windows by {} (set NOLV_DESKTOP_SCALING=off to disable)",
             format_shortest(scale));
  }

  std::vector<MonitorInfo> found;
  for (const Monitor& monitor : loop.monitors()) {
    if (monitor.width == 0 || monitor.height == 0) continue;
    found.push_back(monitor_logical_rect(monitor, scale));
  }
  monitors = std::move(found);

  desktop_size.reset();
  if (monitors.empty()) {
    log_warn(kLog, "no local display size to report to the server");
  } else {
    std::int64_t min_x = INT64_MAX, min_y = INT64_MAX, max_x = INT64_MIN, max_y = INT64_MIN;
    for (const MonitorInfo& m : monitors) {
      min_x = std::min<std::int64_t>(min_x, m.x);
      min_y = std::min<std::int64_t>(min_y, m.y);
      max_x = std::max<std::int64_t>(max_x, std::int64_t{m.x} + m.width);
      max_y = std::max<std::int64_t>(max_y, std::int64_t{m.y} + m.height);
    }
    const std::int64_t width = max_x - min_x, height = max_y - min_y;
    if (width >= 1 && width <= 32767 && height >= 1 && height <= 32767) {
      desktop_size =
          std::pair(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
      log_info(kLog, "local display size: {}x{}", width, height);
    } else {
      log_warn(kLog, "not reporting the invalid local display size {}x{}", width, height);
      log_warn(kLog, "no local display size to report to the server");
    }
  }
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const MonitorInfo& m = monitors[i];
    log_info(kLog, "monitor {} {}: {}x{} at {},{}{}", i, m.name, m.width, m.height, m.x, m.y,
             m.primary ? " (primary)" : "");
  }

  if (reader_body) {
    auto reader_transport = writer->clone_transport();
    if (!reader_transport) {
      fatal(fmt::format("failed to clone the connection: {}", reader_transport.message()));
    }
    Status reader = spawn_detached(
        "reader", [body = reader_body, t = std::move(*reader_transport),
                   p = EventLoopProxy(std::make_shared<DrawRoute>(proxy, decode_sender)),
                   b = backlog]() mutable { body(std::move(t), std::move(p), std::move(b)); });
    if (!reader) fatal(fmt::format("failed to start the reader thread: {}", reader.message()));
  }
  reader_started = true;
  send_hello(std::nullopt);
}

void Client::send_packet(Value packet) {
  loop_thread.check("a packet was sent off the event-loop thread");
  take_write_failure();
  if (exit_code) return;
  const ExitCode lost = startup_complete ? ExitCode::ConnectionLost : ExitCode::ConnectionFailed;
  Bytes encoded = encode_packet(packet);
  if (encoded.empty()) {
    const std::string error = "the packet is too large to frame";
    log_error(kLog, "failed to send packet to the server: {}", error);
    store_exit_code(lost);
    (void)proxy.send_event(make_internal_event("connection-lost", error));
    return;
  }
  // Refused once a write failed (the writer stored its code then) or the shut-down began.
  if (!writer->enqueue(std::move(encoded))) take_write_failure();
}

void Client::take_write_failure() {
  if (!exit_code) exit_code = write_failure->exit_code.get();
}

void Client::store_exit_code(ExitCode code) {
  take_write_failure();
  if (!exit_code) exit_code = code;
  remember_exit_code(*exit_code);
}

void Client::exit_with(ActiveEventLoop& loop, ExitCode code) {
  store_exit_code(code);
  loop.exit();
}

void Client::send_connection_close(ActiveEventLoop& loop, std::string reason) {
  send_packet(Value::array({"connection-close", std::move(reason)}));
  exit_with(loop, ExitCode::Ok);
}

}  // namespace nolv
