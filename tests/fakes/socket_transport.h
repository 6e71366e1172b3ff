// A Tcp transport over one end of a socketpair, and the peer end that reads what was written:
// the 8-byte header and the JSON text of each packet.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/connect.h"

namespace nolv {

class SocketPeer {
 public:
  // Returns the client's transport; the peer keeps the other end.
  Transport make_transport() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Transport{};
    peer_ = UniqueFd(fds[1]);
    return Transport{Transport::Tcp{UniqueFd(fds[0])}};
  }
  // Closing the peer end makes the client's next write fail.
  void close() { peer_ = UniqueFd(); }

  // The next packet, when one arrives within `timeout_ms`.
  std::optional<nlohmann::json> next(int timeout_ms = 1000) {
    if (settle) settle();
    std::vector<std::uint8_t> header(8);
    if (!read_exact(header, timeout_ms)) return std::nullopt;
    const std::size_t size = (std::size_t{header[4]} << 24) | (std::size_t{header[5]} << 16) |
                             (std::size_t{header[6]} << 8) | header[7];
    std::vector<std::uint8_t> body(size);
    if (!read_exact(body, timeout_ms)) return std::nullopt;
    last_header = header;
    last_text.assign(body.begin(), body.end());
    return nlohmann::json::parse(last_text, nullptr, false);
  }
  // Every packet already written, without waiting.
  std::vector<nlohmann::json> drain() {
    std::vector<nlohmann::json> out;
    while (auto p = next(0)) out.push_back(std::move(*p));
    return out;
  }

  // Whether the client has written bytes not yet read, waiting up to `timeout_ms` for them.
  bool readable_within(int timeout_ms) {
    pollfd p{peer_.get(), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
  }

  std::vector<std::uint8_t> last_header;
  std::string last_text;
  // Waits until the client has written everything it queued, so that "nothing more" is known.
  std::function<void()> settle;

 private:
  bool read_exact(std::vector<std::uint8_t>& buffer, int timeout_ms) {
    std::size_t done = 0;
    while (done < buffer.size()) {
      pollfd p{peer_.get(), POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) return false;
      const ssize_t n = ::read(peer_.get(), buffer.data() + done, buffer.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  UniqueFd peer_;
};

}  // namespace nolv
