// Reader throughput over a socketpair: draw-like packets (one 64 KiB raw chunk and a short YAML
// list) and small YAML-only packets, beside the raw copy rate of the same kind of socket.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "net/io.h"

namespace nolv {
namespace {

class CountingSink : public EventSink {
 public:
  bool post(Packet packet) override {
    benchmark::DoNotOptimize(packet.items.data());
    count.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  std::atomic<std::uint64_t> count{0};
};

void append_frame(Bytes& out, std::uint8_t index, std::uint8_t flags, const Bytes& payload) {
  const PacketHeader header{kPacketMagic, flags, 0, index,
                            static_cast<std::uint32_t>(payload.size())};
  const auto head = header.bytes();
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

Bytes text(std::string_view t) {
  return Bytes(t.begin(), t.end());
}

Bytes draw_wire(int packets) {
  const Bytes picture(64 * 1024, 0x5A);
  const Bytes items = text("[draw, 1, 0, 0, 128, 128, png, '', 7, 512, {flush: 0}]");
  Bytes wire;
  for (int i = 0; i < packets; ++i) {
    append_frame(wire, 7, 0, picture);
    append_frame(wire, 0, kFlagTextPayload, items);
  }
  return wire;
}

Bytes small_wire(int packets) {
  const Bytes a = text("[ping, 1733822100123]");
  const Bytes b = text("[window-move-resize, 3, 120, 80, 640, 480]");
  const Bytes c = text("[cursor, png, 16, 16, 8, 8, 42, '', {}]");
  Bytes wire;
  for (int i = 0; i < packets; ++i)
    append_frame(wire, 0, kFlagTextPayload, i % 3 == 0 ? a : i % 3 == 1 ? b : c);
  return wire;
}

// Writes `wire` into one end of a socketpair from another thread while `consume` reads the
// other end; the writer closes its end when done.
template <typename Consume>
void over_socketpair(const Bytes& wire, Consume consume) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  std::thread writer([fd = fds[1], &wire] {
    std::size_t done = 0;
    while (done < wire.size()) {
      const ssize_t n = ::write(fd, wire.data() + done, wire.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  consume(fds[0]);
  writer.join();
}

void run_reader(benchmark::State& state, const Bytes& wire, int packets) {
  for (auto _ : state) {
    auto sink = std::make_shared<CountingSink>();
    over_socketpair(wire, [&](int fd) {
      read_packet(Transport{Transport::Tcp{UniqueFd(fd)}}, EventLoopProxy(sink));
    });
    // Every packet and the final "connection-lost".
    if (sink->count.load() != static_cast<std::uint64_t>(packets) + 1) {
      state.SkipWithError("the reader lost packets");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * packets);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(wire.size()));
}

void BM_RawSocketCopy(benchmark::State& state) {
  const Bytes wire(64ull * 1024 * 1024, 0x5A);
  Bytes buffer(64 * 1024);
  for (auto _ : state) {
    over_socketpair(wire, [&](int fd) {
      while (::read(fd, buffer.data(), buffer.size()) > 0) {
      }
      ::close(fd);
    });
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(wire.size()));
}
BENCHMARK(BM_RawSocketCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReaderDrawPackets(benchmark::State& state) {
  constexpr int kPackets = 1000;
  static const Bytes wire = draw_wire(kPackets);
  run_reader(state, wire, kPackets);
}
BENCHMARK(BM_ReaderDrawPackets)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReaderSmallPackets(benchmark::State& state) {
  constexpr int kPackets = 30000;
  static const Bytes wire = small_wire(kPackets);
  run_reader(state, wire, kPackets);
}
BENCHMARK(BM_ReaderSmallPackets)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace nolv

BENCHMARK_MAIN();
