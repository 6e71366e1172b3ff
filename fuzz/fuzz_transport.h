// A socketpair transport whose peer end feeds the fuzz input and drains whatever the client
// writes back (websocket pongs), so neither side can block the other.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "net/connect.h"

namespace nolv::fuzz {

class FedTransport {
 public:
  // `ws` gives a websocket transport, whose reader unwraps frames from the input.
  FedTransport(std::span<const std::uint8_t> input, bool ws) : input_(input.begin(), input.end()) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    UniqueFd client(fds[0]);
    peer_ = fds[1];
    ::fcntl(peer_, F_SETFL, O_NONBLOCK);
    transport = ws ? Transport{Transport::Ws{{}, std::move(client), 0}}
                   : Transport{Transport::Tcp{std::move(client)}};
    feeder_ = std::thread([this] { feed(); });
  }
  ~FedTransport() {
    feeder_.join();
    ::close(peer_);
  }
  FedTransport(const FedTransport&) = delete;
  FedTransport& operator=(const FedTransport&) = delete;

  Transport transport;

 private:
  // Writes the input, then half-closes so the reader sees the end of the stream; reads until
  // the client end is closed.
  void feed() {
    std::size_t sent = 0;
    bool shut = false;
    std::uint8_t sink[4096];
    for (;;) {
      if (!shut && sent == input_.size()) {
        ::shutdown(peer_, SHUT_WR);
        shut = true;
      }
      pollfd p{peer_, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
      if (::poll(&p, 1, -1) < 0) continue;
      if (p.revents & POLLIN) {
        const ssize_t n = ::read(peer_, sink, sizeof sink);
        if (n == 0) return;
      }
      if ((p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) return;
      if (!shut && (p.revents & POLLOUT)) {
        const ssize_t n = ::send(peer_, input_.data() + sent, input_.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += static_cast<std::size_t>(n);
        if (n < 0 && errno == EPIPE) return;
      }
    }
  }

  std::vector<std::uint8_t> input_;
  int peer_ = -1;
  std::thread feeder_;
};

}  // namespace nolv::fuzz
