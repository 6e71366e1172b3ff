// The dispatcher's picture rows: draws and end-of-stream packets go to the "decode" thread;
// its results are painted into the window's back buffer and acknowledged with "window-ack".
#include <utility>

#include "client/client.h"
#include "client/paint_draw.h"
#include "client/picture_buffers.h"

namespace nolv {

namespace {
constexpr std::string_view kClientLog = "nolv::client::client";
}  // namespace

void Client::handle_draw(ActiveEventLoop&, Packet& packet) {
  if (!decode_sender.send(std::move(packet))) {
    log_error(kClientLog, "cannot decode: the decoding thread has stopped");
  }
}

void Client::handle_eos(ActiveEventLoop&, Packet& packet) {
  static_cast<void>(decode_sender.send(std::move(packet)));  // a stopped thread holds nothing
}

void Client::handle_draw_decoded(ActiveEventLoop&, Packet& packet) {
  DecodedDraw draw = read_decoded_draw(packet);
  auto it = windows.find(draw.wid);
  if (it == windows.end()) {
    picture_buffers().give_back(std::move(draw.pixels));
    // The decoder that a stream for no window made would otherwise live until the server ends
    // that stream, which it may never do.
    if (draw.coding == "h264") {
      Packet release;
      release.items = {Yaml::string("lost-window"),
                       Yaml::integer(static_cast<std::int64_t>(draw.wid))};
      static_cast<void>(decode_sender.send(std::move(release)));
    }
    send_window_ack(draw.packet_sequence, draw.wid, draw.width, draw.height, -1,
                    "window not found!");
    return;
  }
  log_trace(kClientLog, "drawing {} on {}", draw.coding, draw.wid);
  ClientWindow& window = it->second;
  PaintTarget paint_target{window.back_buffer,  window.server_w, window.server_h,
                           window.local_w,      window.local_h,  window.scale,
                           window.track_damage, &window.damage};
  const bool painted = paint_decoded_draw(paint_target, draw) == PaintOutcome::Painted;
  picture_buffers().give_back(std::move(draw.pixels));
  const UnshownDraw answer{draw.packet_sequence, draw.width, draw.height,
                           static_cast<std::int64_t>(draw.decode_time_us)};
  if (!window.window || (!painted && window.unshown_draws.empty())) {
    send_window_ack(answer.packet_sequence, draw.wid, answer.width, answer.height,
                    answer.decode_time, "");
    return;
  }
  // A draw with nothing to show waits behind the painted ones so the answers keep their order.
  window.unshown_draws.push_back(answer);
  if (window.unshown_draws.size() >= kMaxUnshownDraws) {
    present_window(window);
  } else if (painted) {
    window.window->request_redraw();
  }
}

void Client::handle_draw_failed(ActiveEventLoop&, Packet& packet) {
  const DrawItems draw = read_draw_items(packet.items);
  send_window_ack(draw.packet_sequence, draw.wid, draw.width, draw.height, -1,
                  packet_get_str(packet.items, draw_item::kData));
}

void Client::present_window(ClientWindow& window) {
  const Status shown = window.draw_screen();
  acknowledge_unshown_draws(window, shown);
}

void Client::acknowledge_unshown_draws(ClientWindow& window, const Status& shown) {
  for (UnshownDraw& draw : std::exchange(window.unshown_draws, {})) {
    if (shown) {
      send_window_ack(draw.packet_sequence, window.wid, draw.width, draw.height, draw.decode_time,
                      "");
    } else {
      send_window_ack(draw.packet_sequence, window.wid, draw.width, draw.height, -1,
                      shown.message());
    }
  }
}

void Client::send_window_ack(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                             std::uint32_t height, std::int64_t decode_time, std::string message) {
  send_packet(
      window_ack_packet(packet_sequence, wid, width, height, decode_time, std::move(message)));
}

}  // namespace nolv
