// Latency of the second of two small packets written back to back over loopback TCP: each round
// writes two 60-byte packets (a key press and its release, say) in two calls, and the server,
// once it has read both, answers with one byte. Without TCP_NODELAY the second packet waits for
// the acknowledgement of the first, which the server delays (about 40 ms on Linux). Prints the
// median and the 99th percentile of a round, for the client's own connection and for a plain
// socket without the option, side by side.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "net/connect.h"
#include "net/packet.h"

namespace nolv {
namespace {

constexpr std::size_t kPacketSize = 60;
constexpr int kRounds = 100;

struct Loopback {
  UniqueFd listener;
  std::uint16_t port = 0;
};

Loopback listen_on_loopback() {
  Loopback out;
  out.listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(out.listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(out.listener.get(), 1) != 0 ||
      ::getsockname(out.listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return out;
  }
  out.port = ntohs(address.sin_port);
  return out;
}

// The server: reads both packets of a round, then answers; ends at the end of the stream.
void serve(UniqueFd connection) {
  std::vector<std::uint8_t> both(2 * kPacketSize);
  const std::uint8_t answer = 1;
  while (fd_read_exact(connection.get(), both)) {
    if (!fd_write_all(connection.get(), std::span(&answer, 1), true)) return;
  }
}

UniqueFd connect_without_nodelay(std::uint16_t port) {
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return socket;
}

UniqueFd connect_as_the_client(std::uint16_t port) {
  Target target;
  target.kind = TargetKind::Tcp;
  target.address = fmt::format("127.0.0.1:{}", port);
  auto socket = connect_tcp(target);
  return socket ? std::move(socket).value() : UniqueFd();
}

void SecondOfTwoSmallPackets(benchmark::State& state, bool client_connection) {
  Loopback loopback = listen_on_loopback();
  UniqueFd client = client_connection ? connect_as_the_client(loopback.port)
                                      : connect_without_nodelay(loopback.port);
  UniqueFd accepted(::accept4(loopback.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!client.valid() || !accepted.valid()) {
    state.SkipWithError("no loopback connection");
    return;
  }
  std::thread server(serve, std::move(accepted));
  const Bytes packet(kPacketSize, 0x5A);
  std::uint8_t answer = 0;
  std::vector<double> round_us;
  for (auto _ : state) {
    for (int i = 0; i < kRounds; ++i) {
      const auto start = std::chrono::steady_clock::now();
      if (!fd_write_all(client.get(), packet, true) || !fd_write_all(client.get(), packet, true) ||
          !fd_read_exact(client.get(), std::span(&answer, 1))) {
        state.SkipWithError("the loopback connection broke");
        break;
      }
      round_us.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  (void)::shutdown(client.get(), SHUT_RDWR);
  server.join();
  if (round_us.empty()) return;
  std::sort(round_us.begin(), round_us.end());
  state.counters["median_us"] = round_us[round_us.size() / 2];
  state.counters["p99_us"] = round_us[round_us.size() * 99 / 100];
}

BENCHMARK_CAPTURE(SecondOfTwoSmallPackets, client_connection, true)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SecondOfTwoSmallPackets, without_nodelay, false)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nolv

BENCHMARK_MAIN();
