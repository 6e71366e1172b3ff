// The server's answer to the websocket upgrade request, then the first frames behind it: the
// handshake response reader and checks, and the frame reader on the transport they give.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>

#include "fuzz_transport.h"
#include "net/uri.h"
#include "net/websocket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const nolv::Target target = *nolv::parse_uri("ws://127.0.0.1:10000/");
  nolv::fuzz::FedTransport fed(std::span(data, size), false);
  auto socket = std::move(std::get<nolv::Transport::Tcp>(fed.transport.value).socket);
  nolv::ConnectResult<nolv::Transport> upgraded = nolv::ws_upgrade(std::move(socket), target);
  if (!upgraded) return 0;
  std::uint8_t buffer[64];
  for (int i = 0; i < 4; ++i) {
    if (!nolv::conn_read_exact(upgraded.value(), buffer)) break;
  }
  return 0;
}
