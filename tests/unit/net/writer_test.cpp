#include "net/writer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include "net/websocket.h"

namespace nolv {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
  UniqueFd client;
  UniqueFd server;
};

SocketPair socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Up to `count` bytes, fewer when the stream ends or nothing comes for `idle_ms`.
Bytes read_up_to(int fd, std::size_t count, int idle_ms = 10000) {
  Bytes out;
  std::uint8_t buffer[65536];
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, idle_ms) <= 0) break;
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

struct Failures {
  std::mutex mutex;
  std::vector<std::string> errors;
  PacketWriter::FailureHandler handler() {
    return [this](const std::string& error) {
      std::lock_guard lock(mutex);
      errors.push_back(error);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return errors;
  }
};

std::unique_ptr<PacketWriter> start(Transport transport, std::shared_ptr<Backlog> backlog,
                                    Failures& failures) {
  auto writer = PacketWriter::start(std::move(transport), std::move(backlog), failures.handler());
  EXPECT_TRUE(writer) << writer.message();
  return std::move(writer).value();
}

TEST(PacketWriter, PacketsArriveWholeInOrderAndLeaveTheBacklog) {
  auto [client, server] = socket_pair();
  auto backlog = std::make_shared<Backlog>(kSessionBacklogLimit);
  Failures failures;
  auto writer = start(Transport{Transport::Tcp{std::move(client)}}, backlog, failures);
  Bytes expected;
  for (int i = 0; i < 300; ++i) {
    // Sizes across the slice boundary, several megabytes in all: more than the socket holds.
    const Bytes packet(static_cast<std::size_t>(i) * 1733 % (kWriteSlice + 7) + 1,
                       static_cast<std::uint8_t>(i));
    expected.insert(expected.end(), packet.begin(), packet.end());
    ASSERT_TRUE(writer->enqueue(packet));
  }
  const Bytes received = read_up_to(server.get(), expected.size());
  EXPECT_TRUE(writer->wait_idle(10s));
  EXPECT_TRUE(received == expected);
  EXPECT_EQ(backlog->waiting(), 0u);
  EXPECT_TRUE(failures.take().empty());
}

TEST(PacketWriter, AServerThatNeverReadsBlocksNeitherTheCallerNorTheShutDown) {
  auto [client, server] = socket_pair();
  auto backlog = std::make_shared<Backlog>(kSessionBacklogLimit);
  Failures failures;
  auto writer = start(Transport{Transport::Tcp{std::move(client)}}, backlog, failures);
  const Bytes packet(64 * 1024, 0x42);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(writer->enqueue(packet));  // 16 MiB, never read
  // Whatever the socket did not take is still counted.
  EXPECT_GT(backlog->waiting(), 8u * 1024 * 1024);
  EXPECT_FALSE(writer->wait_idle(50ms));

  writer->finish(100ms);  // a hang here is the fault
  EXPECT_FALSE(writer->enqueue(Bytes{1}));
  // The server finds the end of the stream behind what was written.
  const Bytes rest = read_up_to(server.get(), 64u * 1024 * 1024);
  EXPECT_LT(rest.size(), 16u * 1024 * 1024);
  for (int i = 0; i < 500 && backlog->waiting() != 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(backlog->waiting(), 0u);     // dropped
  EXPECT_TRUE(failures.take().empty());  // the shut-down's own broken write is no failure
}

TEST(PacketWriter, AFailedWriteIsReportedOnceAndTakesNothingMore) {
  auto [client, server] = socket_pair();
  server = UniqueFd();
  auto backlog = std::make_shared<Backlog>(kSessionBacklogLimit);
  Failures failures;
  auto writer = start(Transport{Transport::Tcp{std::move(client)}}, backlog, failures);
  EXPECT_TRUE(writer->enqueue(Bytes(100, 1)));
  (void)writer->wait_idle(10s);
  EXPECT_TRUE(writer->failed());
  EXPECT_FALSE(writer->enqueue(Bytes(100, 2)));
  EXPECT_EQ(failures.take(), std::vector<std::string>{os_error_text(EPIPE)});
  EXPECT_EQ(backlog->waiting(), 0u);
}

// One websocket frame as the client wrote it: opcode and unmasked payload.
struct Frame {
  std::uint8_t first = 0;
  Bytes payload;
};

std::vector<Frame> parse_frames(const Bytes& wire) {
  std::vector<Frame> frames;
  std::size_t at = 0;
  while (at + 2 <= wire.size()) {
    Frame frame{wire[at], {}};
    std::uint64_t length = wire[at + 1] & 0x7F;
    at += 2;
    const int extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (extra != 0) {
      length = 0;
      for (int i = 0; i < extra; ++i) length = length << 8 | wire[at + i];
      at += extra;
    }
    const std::uint8_t* mask = &wire[at];
    at += 4;
    for (std::uint64_t i = 0; i < length; ++i) frame.payload.push_back(wire[at + i] ^ mask[i % 4]);
    at += length;
    frames.push_back(std::move(frame));
  }
  return frames;
}

TEST(PacketWriter, WebsocketPongsQueueBehindThePacketsWhileTheSocketIsFull) {
  auto [client, server] = socket_pair();
  Transport::Ws ws;
  ws.socket = std::move(client);
  Transport transport{std::move(ws)};
  auto reader = transport.try_clone();
  ASSERT_TRUE(reader);
  auto backlog = std::make_shared<Backlog>(kSessionBacklogLimit);
  Failures failures;
  auto writer = start(std::move(transport), backlog, failures);
  const Bytes packet(1000, 0x33);
  constexpr int kPackets = 4000;  // 4 MB: the socket is full and the writer waits
  for (int i = 0; i < kPackets; ++i) ASSERT_TRUE(writer->enqueue(packet));

  // A ping, then a message: the reader answers the ping and goes on to the message.
  const std::string from_server =
      std::string("\x89\x02hi", 4) + std::string("\x82\x04", 2) + "data";
  ASSERT_EQ(::write(server.get(), from_server.data(), from_server.size()),
            static_cast<ssize_t>(from_server.size()));
  auto read = std::async(std::launch::async, [&reader] {
    std::uint8_t out[4];
    auto n = ws_read_some(std::get<Transport::Ws>(reader->value), out);
    return n ? std::string(reinterpret_cast<char*>(out), *n) : n.message();
  });
  ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "the reader waits for the writer";
  EXPECT_EQ(read.get(), "data");

  // The packets come out whole and first, the pong behind them: 1000 bytes with a 2-byte length
  // and the mask make 1008 per frame, and the pong is 8.
  const Bytes wire = read_up_to(server.get(), kPackets * 1008 + 8);
  const std::vector<Frame> frames = parse_frames(wire);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(kPackets + 1));
  for (int i = 0; i < kPackets; ++i) {
    EXPECT_EQ(frames[i].first, 0x82);
    EXPECT_TRUE(frames[i].payload == packet);
  }
  EXPECT_EQ(frames.back().first, 0x8A);
  EXPECT_EQ(std::string(frames.back().payload.begin(), frames.back().payload.end()), "hi");
  EXPECT_TRUE(failures.take().empty());
}

}  // namespace
}  // namespace nolv
