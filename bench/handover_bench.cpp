// Small packets from a TCP peer through the reader thread to the event-loop thread, which handles
// and frees them: the whole road a cheap server packet takes. Prints packets per second and the
// CPU time this process spends per packet (reader, event loop and Qt; the peer runs in a child
// process and is not counted).
//
//   handover_bench [packets]    (default 300000)
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "net/io.h"
#include "platform/qt/qt_platform.h"

namespace nolv {
namespace {

void append_frame(Bytes& out, std::string_view payload) {
  const PacketHeader header{kPacketMagic, kFlagTextPayload, 0, 0,
                            static_cast<std::uint32_t>(payload.size())};
  const auto head = header.bytes();
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

// The mix of cheap packets a busy session sees.
Bytes small_wire(long packets) {
  Bytes wire;
  for (long i = 0; i < packets; ++i) {
    append_frame(wire, i % 3 == 0   ? "[ping, 1733822100123]"
                       : i % 3 == 1 ? "[window-move-resize, 3, 120, 80, 640, 480]"
                                    : "[cursor, png, 16, 16, 8, 8, 42, '', {}]");
  }
  return wire;
}

// The peer: connects to `port` and writes the whole wire, then closes.
[[noreturn]] void run_peer(std::uint16_t port, const Bytes& wire) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::_Exit(1);
  std::size_t done = 0;
  while (done < wire.size()) {
    const ssize_t n = ::write(fd, wire.data() + done, wire.size() - done);
    if (n <= 0) std::_Exit(1);
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::_Exit(0);
}

// Counts every packet on the event-loop thread (dropping it there) and ends the loop at the
// reader's "connection-lost".
class CountingHandler : public EventLoopHandler {
 public:
  CountingHandler(EventLoopProxy proxy, UniqueFd socket)
      : proxy_(std::move(proxy)), socket_(std::move(socket)) {}
  void resumed(ActiveEventLoop&) override {
    std::thread([t = Transport{Transport::Tcp{std::move(socket_)}}, p = proxy_]() mutable {
#ifdef NOLV_BENCH_BASELINE
      read_packet(std::move(t), std::move(p));
#else
      read_packet(std::move(t), std::move(p), std::make_shared<Backlog>(kSessionBacklogLimit));
#endif
    }).detach();
  }
  void user_event(ActiveEventLoop& loop, Packet packet) override {
    if (packet_get_str(packet.items, 0) == "connection-lost") {
      loop.exit();
      return;
    }
    ++count;
  }
  void window_event(ActiveEventLoop&, WindowId, WindowEvent) override {}
  long count = 0;

 private:
  EventLoopProxy proxy_;
  UniqueFd socket_;
};

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int run(int argc, char** argv) {
  const long packets = argc > 1 ? std::atol(argv[1]) : 300000;
  const Bytes wire = small_wire(packets);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }

  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QtPlatform platform(argc, argv);
  auto loop = platform.create_event_loop();
  if (!loop) {
    std::fprintf(stderr, "no event loop: %s\n", loop.message().c_str());
    return 1;
  }
  // The peer starts once everything of ours is set up, so only the hand-over is timed.
  const pid_t peer = ::fork();
  if (peer == 0) run_peer(ntohs(address.sin_port), wire);
  UniqueFd socket(::accept(listener, nullptr, nullptr));
  ::close(listener);

  CountingHandler handler((*loop)->create_proxy(), std::move(socket));
  const double cpu_before = cpu_seconds();
  const auto started = std::chrono::steady_clock::now();
  if (Status ran = (*loop)->run(handler); !ran) return 1;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double cpu = cpu_seconds() - cpu_before;
  ::waitpid(peer, nullptr, 0);
  if (handler.count != packets) {
    std::fprintf(stderr, "handled %ld of %ld packets\n", handler.count, packets);
    return 1;
  }
  std::printf("%ld packets in %.3f s: %.0f packets/s, %.2f us CPU per packet\n", packets, wall,
              static_cast<double>(packets) / wall, cpu * 1e6 / static_cast<double>(packets));
  return 0;
}

}  // namespace
}  // namespace nolv

int main(int argc, char** argv) {
  return nolv::run(argc, argv);
}
