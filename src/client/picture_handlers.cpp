// The dispatcher's picture rows: draws and end-of-stream packets go to the "decode" thread;
// its results are painted into the window's back buffer and acknowledged with "window-ack".
#include "client/client.h"
#include "client/paint_draw.h"

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

void Client::handle_draw_failed(ActiveEventLoop&, Packet& packet) {
  send_window_ack(packet_get_usize(packet.items, 8), packet_get_usize(packet.items, 1),
                  packet_get_u32(packet.items, 4), packet_get_u32(packet.items, 5), -1,
                  packet_get_str(packet.items, 7));
}

void Client::send_window_ack(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                             std::uint32_t height, std::int64_t decode_time, std::string message) {
  send_packet(
      window_ack_packet(packet_sequence, wid, width, height, decode_time, std::move(message)));
}

}  // namespace nolv
