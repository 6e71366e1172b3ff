#include "net/io.h"
#include "net/serde.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "net/packet.h"
#include "unit/net/transport_test_util.h"

namespace nolv {

void PrintTo(const Yaml& value, std::ostream* os) {
  *os << to_string(value);
}

namespace {

Bytes text_bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes frame(const Bytes& payload, std::uint8_t index = 0, std::uint8_t flags = 0x04,
            std::uint8_t compression = 0) {
  PacketHeader header{0x50, flags, compression, index, static_cast<std::uint32_t>(payload.size())};
  const auto head = header.bytes();
  Bytes out(head.begin(), head.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
Bytes frame(std::string_view text) {
  return frame(text_bytes(text));
}

// The size-prefixed LZ4 payload; `prefix` overrides the stated size.
Bytes lz4(const Bytes& data, std::optional<std::uint32_t> prefix = std::nullopt) {
  const int bound = LZ4_compressBound(static_cast<int>(data.size()));
  Bytes out(4 + static_cast<std::size_t>(bound));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(data.data()),
                                     reinterpret_cast<char*>(out.data() + 4),
                                     static_cast<int>(data.size()), bound);
  out.resize(4 + static_cast<std::size_t>(n));
  const std::uint32_t size = prefix.value_or(static_cast<std::uint32_t>(data.size()));
  for (int i = 0; i < 4; ++i)
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ReaderRun {
  std::vector<Packet> events;
  std::vector<std::string> log;
};

// Feeds `wire` to read_packet over a socketpair, closes the server's end, and collects what
// the reader posted and logged until it ended.
ReaderRun read_all(const Bytes& wire) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  std::thread server([fd = fds[1], &wire] {
    std::size_t done = 0;
    while (done < wire.size()) {
      const ssize_t n = ::write(fd, wire.data() + done, wire.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  auto sink = std::make_shared<RecordingSink>();
  LogCapture capture;
  read_packet(Transport{Transport::Tcp{UniqueFd(fds[0])}}, EventLoopProxy(sink));
  server.join();
  return ReaderRun{sink->take(), capture.take_lines()};
}

bool has_line(const std::vector<std::string>& lines, std::string_view level,
              std::string_view target, std::string_view message) {
  const std::string wanted = fmt::format("{:<5} [{}] {}", level, target, message);
  for (const std::string& line : lines) {
    if (line.ends_with(wanted)) return true;
  }
  return false;
}

std::string lines_text(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

std::vector<Yaml> event_items(std::string_view name, std::string_view reason) {
  return make_internal_event(std::string(name), std::string(reason)).items;
}

struct FailureCase {
  std::string name;
  Bytes wire;
  std::string event;  // "connection-lost" or "invalid-packet"
  std::string reason;
  std::string level;  // the log line that comes with it ("" for none)
  std::string target;
  std::string message;
};

std::vector<FailureCase> failure_cases() {
  const Bytes chunk = frame(text_bytes("raw"), 2, 0x00);
  const Bytes over_limit = {0x50, 0x04, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01};  // 256 MiB + 1
  const char* io = "nolv::client::client";
  const char* serde = "nolv::net::serde";
  return {
      {"nothing at all",
       {},
       "connection-lost",
       "connection closed by the server",
       "DEBUG",
       io,
       "read loop terminated: failed to fill whole buffer"},
      {"end inside a header",
       {0x50, 0x04, 0x00},
       "connection-lost",
       "connection closed by the server",
       "DEBUG",
       io,
       "read loop terminated: failed to fill whole buffer"},
      {"end inside a payload",
       {0x50, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, '['},
       "connection-lost",
       "connection closed by the server",
       "DEBUG",
       io,
       "read loop terminated: failed to fill whole buffer"},
      {"bad magic",
       {0x51, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
       "connection-lost",
       "invalid packet header byte: 81",
       "DEBUG",
       io,
       "read loop terminated: invalid packet header byte: 81"},
      {"chunk index 16", frame(text_bytes("x"), 16), "connection-lost", "invalid chunk index: 16",
       "DEBUG", io, "read loop terminated: invalid chunk index: 16"},
      {"fourth chunk",
       concat({frame(text_bytes("a"), 1, 0), frame(text_bytes("b"), 2, 0),
               frame(text_bytes("c"), 3, 0), frame(text_bytes("d"), 4, 0), frame("[x]")}),
       "connection-lost", "too many chunks: 4", "DEBUG", io,
       "read loop terminated: too many chunks: 4"},
      {"repeated chunk index", concat({chunk, chunk, frame("[x]")}), "connection-lost",
       "duplicate chunk at index 2", "DEBUG", io,
       "read loop terminated: duplicate chunk at index 2"},
      {"main packet without the text flag", frame(text_bytes("[x]"), 0, 0x00), "connection-lost",
       "unsupported packet encoding: 0", "DEBUG", io,
       "read loop terminated: unsupported packet encoding: 0"},
      {"unknown compression", frame(text_bytes("[x]"), 0, 0x04, 0x01), "connection-lost",
       "unsupported compression flag: 0x1", "DEBUG", io,
       "read loop terminated: unsupported compression flag: 0x1"},
      {"compressed main payload of 3 bytes", frame(Bytes{1, 0, 0}, 0, 0x04, 0x10),
       "connection-lost", "lz4 decompression failed: expected another byte, found none", "DEBUG",
       io, "read loop terminated: lz4 decompression failed: expected another byte, found none"},
      {"size prefix below the output",
       frame(lz4(text_bytes("[aaaaaaaaaaaaaaaaaaaaaaaa]"), 2), 0, 0x04, 0x10), "connection-lost",
       "lz4 decompression failed: provided output is too small for the decompressed data, "
       "actual 2, expected 26",
       "DEBUG", io,
       "read loop terminated: lz4 decompression failed: provided output is too small for the "
       "decompressed data, actual 2, expected 26"},
      {"payload size over the bound", over_limit, "connection-lost",
       "payload size 268435457 exceeds the maximum of 268435456", "DEBUG", io,
       "read loop terminated: payload size 268435457 exceeds the maximum of 268435456"},
      {"size prefix over the bound", frame(Bytes{0x01, 0x00, 0x00, 0x20, 0x00}, 0, 0x04, 0x10),
       "connection-lost",
       "lz4 decompression failed: the size prefix 536870913 exceeds the maximum of 268435456",
       "DEBUG", io,
       "read loop terminated: lz4 decompression failed: the size prefix 536870913 exceeds the "
       "maximum of 268435456"},
      {"invalid utf-8", frame("[\xff]"), "invalid-packet",
       "invalid utf-8 sequence of 1 bytes from index 1", "", "", ""},
      {"utf-8 ending inside a sequence", frame("[x]\xe2\x82"), "invalid-packet",
       "incomplete utf-8 byte sequence from index 3", "", "", ""},
      {"yaml syntax error", frame("[a, b"), "invalid-packet",
       "flow sequence without a closing bracket at byte 5 line 2 column 1", "", "", ""},
      {"repeated key", frame("[{k: 1, k: 2}]"), "invalid-packet",
       "String(\"k\"): duplicated key in mapping at byte 8 line 1 column 9", "", "", ""},
      {"empty payload", frame(""), "invalid-packet", "too many items", "ERROR", serde,
       "expected 1 item, got 0"},
      {"blank payload", frame("  \n"), "invalid-packet", "too many items", "ERROR", serde,
       "expected 1 item, got 0"},
      {"two documents", frame("--- [a]\n--- [b]\n"), "invalid-packet", "too many items", "ERROR",
       serde, "expected 1 item, got 2"},
      {"mapping root", frame("{a: 1}"), "invalid-packet", "received invalid packet data type",
       "ERROR", serde, "packet is not an array: Hash({String(\"a\"): Integer(1)})"},
      {"scalar root", frame("5"), "invalid-packet", "received invalid packet data type", "ERROR",
       serde, "packet is not an array: Integer(5)"},
  };
}

TEST(ReadPacket, EveryFailureEndsTheReaderWithOneEvent) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    // A good packet first: the failure ends a running reader, not only a fresh one.
    // Bytes after the failure are never read; a stream that ends has none.
    const bool ends_stream = c.reason == "connection closed by the server";
    const ReaderRun run =
        read_all(concat({frame("[before]"), c.wire, ends_stream ? Bytes{} : frame("[after]")}));
    ASSERT_EQ(run.events.size(), 2u);
    EXPECT_EQ(run.events[0].items, std::vector<Yaml>{Yaml::string("before")});
    EXPECT_EQ(run.events[1].items, event_items(c.event, c.reason));
    if (!c.level.empty()) {
      EXPECT_TRUE(has_line(run.log, c.level, c.target, c.message)) << lines_text(run.log);
    }
    // An invalid packet logs only the serde line, if any.
    if (c.event == "invalid-packet") {
      for (const std::string& line : run.log) {
        EXPECT_EQ(line.find("read loop terminated"), std::string::npos) << line;
      }
    }
  }
}

TEST(ReadPacket, PacketsWithChunksAndCompression) {
  const Bytes picture(5000, 0xAB);
  const Bytes wire = concat({
      // Chunk flags are not examined; 0x11 is LZ4 because only bit 0x10 counts.
      frame(text_bytes("one"), 1, 0x00),
      frame(lz4(picture), 7, 0x00, 0x11),
      frame(text_bytes("three"), 15, 0xFF),
      frame(text_bytes("[draw, 1, '', {w: 2}]")),
      // The same index again in the next packet is fine; the chunk map started afresh.
      frame(text_bytes("again"), 7, 0x00),
      frame(lz4(text_bytes("[next, 1.5, ~]"), 1000), 0, 0x04, 0x10),
      frame("[]"),
  });
  const ReaderRun run = read_all(wire);
  ASSERT_EQ(run.events.size(), 4u);
  const Packet& draw = run.events[0];
  EXPECT_EQ(draw.items, (std::vector<Yaml>{Yaml::string("draw"), Yaml::integer(1), Yaml::string(""),
                                           Yaml::hash({{Yaml::string("w"), Yaml::integer(2)}})}));
  EXPECT_EQ(draw.chunks, (std::map<std::uint8_t, Bytes>{
                             {1, text_bytes("one")}, {7, picture}, {15, text_bytes("three")}}));
  EXPECT_FALSE(draw.decode_time_us.has_value());
  // A size prefix above the true output: the payload is the bytes produced.
  const Packet& next = run.events[1];
  EXPECT_EQ(next.items, (std::vector<Yaml>{Yaml::string("next"), Yaml::real("1.5"), Yaml::null()}));
  EXPECT_EQ(next.chunks, (std::map<std::uint8_t, Bytes>{{7, text_bytes("again")}}));
  EXPECT_TRUE(run.events[2].items.empty());
  EXPECT_TRUE(run.events[2].chunks.empty());
  EXPECT_EQ(run.events[3].items, event_items("connection-lost", "connection closed by the server"));

  EXPECT_TRUE(
      has_line(run.log, "TRACE", "nolv::net::io", "read_packet header=[80, 0, 0, 1, 0, 0, 0, 3]"))
      << lines_text(run.log);
  EXPECT_TRUE(has_line(run.log, "TRACE", "nolv::net::io", "read_packet index=7 payload_size=5"));
  bool perf = false;
  for (const std::string& line : run.log) {
    // 3 + 5000 + 5 chunk bytes and the 21 bytes of the main payload.
    perf = perf || line.find(
                       "TRACE [nolv::client::client] perf: draw packet: 5029 bytes read "
                       "(network) in ") != std::string::npos;
  }
  EXPECT_TRUE(perf) << lines_text(run.log);
}

TEST(ReadPacket, ADroppedChunkIsWarnedAndStillCounts) {
  const Bytes bad = frame(Bytes{1, 0, 0}, 3, 0x00, 0x10);
  const ReaderRun dropped = read_all(concat({frame(text_bytes("a"), 1, 0), bad, frame("[p]")}));
  ASSERT_EQ(dropped.events.size(), 2u);
  EXPECT_EQ(dropped.events[0].chunks, (std::map<std::uint8_t, Bytes>{{1, text_bytes("a")}}));
  EXPECT_TRUE(has_line(dropped.log, "WARN", "nolv::net::io",
                       "dropping chunk 3: lz4 decompression failed: expected another byte, found "
                       "none"))
      << lines_text(dropped.log);

  const ReaderRun fourth =
      read_all(concat({frame(text_bytes("a"), 1, 0), frame(text_bytes("b"), 2, 0), bad,
                       frame(text_bytes("d"), 4, 0), frame("[p]")}));
  ASSERT_EQ(fourth.events.size(), 1u);
  EXPECT_EQ(fourth.events[0].items, event_items("connection-lost", "too many chunks: 4"));
}

TEST(ReadPacket, EndsWithoutAWordOnceTheLoopIsGone) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd server(fds[1]);
  const Bytes wire = concat({frame("[one]"), frame("[two]")});
  ASSERT_EQ(::write(server.get(), wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  auto sink = std::make_shared<RecordingSink>();
  sink->close();
  // The server end stays open: only the failed posting can end the reader.
  auto done = std::async(std::launch::async, [fd = fds[0], sink] {
    read_packet(Transport{Transport::Tcp{UniqueFd(fd)}}, EventLoopProxy(sink));
  });
  const bool ended = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!ended) ::shutdown(server.get(), SHUT_RDWR);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(sink->take().empty());
}

TEST(ReadPacket, PacketsAtHandGoOverTogetherInOrder) {
  Bytes wire;
  for (int i = 0; i < 100; ++i) wire = concat({wire, frame(fmt::format("[p, {}]", i))});
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  ASSERT_EQ(::write(fds[1], wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  ::close(fds[1]);  // every packet is at hand before the reader starts
  auto sink = std::make_shared<RecordingSink>();
  read_packet(Transport{Transport::Tcp{UniqueFd(fds[0])}}, EventLoopProxy(sink));
  EXPECT_EQ(sink->batch_sizes(), std::vector<std::size_t>{100});
  const std::vector<Packet> events = sink->take();
  ASSERT_EQ(events.size(), 101u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(packet_get_i64(events[i].items, 1), i);
  EXPECT_EQ(events.back().items, event_items("connection-lost", "connection closed by the server"));
}

TEST(ReadPacket, WaitsWhileTheBacklogIsFullAndEndsWhenItCloses) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd server(fds[1]);
  const Bytes wire = concat({frame("[one]"), frame("[two, 22]"), frame("[three]")});
  ASSERT_EQ(::write(server.get(), wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  auto backlog = std::make_shared<Backlog>(1);  // one packet of any size fills it
  auto sink = std::make_shared<RecordingSink>();
  auto done = std::async(std::launch::async, [fd = fds[0], sink, backlog] {
    read_packet(Transport{Transport::Tcp{UniqueFd(fd)}}, EventLoopProxy(sink), backlog);
  });
  auto wait_for_events = [&](std::size_t count) {
    for (int i = 0; i < 500 && sink->count() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A moment more, in which a reader that did not wait would post the next one.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  wait_for_events(1);
  std::vector<Packet> first = sink->take();
  ASSERT_EQ(first.size(), 1u);  // all three were at hand; the first filled the backlog
  EXPECT_EQ(packet_get_str(first[0].items, 0), "one");
  // What the parsed packet holds: its values, and the packet beyond them.
  EXPECT_EQ(backlog->waiting(), parse_packet_items("[one]")->memory + kPacketFootprint);
  first.clear();  // handled: the reader goes on
  wait_for_events(1);
  std::vector<Packet> second = sink->take();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(packet_get_i64(second[0].items, 1), 22);
  backlog->close();  // the session is over: the reader ends without another word
  const bool ended = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!ended) ::shutdown(server.get(), SHUT_RDWR);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(sink->take().empty());
}

// A header that announces the largest payload and sends a few bytes of it must not make the
// reader hold the whole announced size while it waits for the rest.
TEST(ReadPacket, AnAnnouncedPayloadTakesMemoryAsItArrives) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd server(fds[1]);
  const auto in_use = [] {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<std::uint64_t>(m.uordblks) + m.hblkhd;
  };
  const std::uint64_t before = in_use();
  Bytes wire = {kPacketMagic, kFlagTextPayload, 0, 0, 0x10, 0, 0, 0};  // 256 MiB announced
  wire.resize(wire.size() + 1000, '[');
  ASSERT_EQ(::write(server.get(), wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  auto sink = std::make_shared<RecordingSink>();
  auto done = std::async(std::launch::async, [fd = fds[0], sink] {
    read_packet(Transport{Transport::Tcp{UniqueFd(fd)}}, EventLoopProxy(sink));
  });
  // The reader is now waiting for the rest; watch what it holds meanwhile.
  std::uint64_t most = 0;
  for (int i = 0; i < 50; ++i) {
    most = std::max(most, in_use() - std::min(in_use(), before));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::shutdown(server.get(), SHUT_RDWR);
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_LT(most, 64ull << 20) << "bytes held while waiting: " << most;
  const auto events = sink->take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(packet_get_str(events[0].items, 0), "connection-lost");
}

TEST(DecompressPayload, CausesOfABadBlock) {
  struct Case {
    std::string name;
    std::uint8_t compression;
    Bytes payload;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"flag 0x20", 0x20, lz4(text_bytes("x")), "unsupported compression flag: 0x20"},
      {"short payload",
       0x10,
       {5, 0},
       "lz4 decompression failed: expected another byte, found none"},
      {"prefix only",
       0x10,
       {5, 0, 0, 0},
       "lz4 decompression failed: expected another byte, found none"},
      {"literal beyond the input",
       0x10,
       {9, 0, 0, 0, 0x50, 'a', 'b'},
       "lz4 decompression failed: literal is out of bounds of the input"},
      {"zero offset",
       0x10,
       {9, 0, 0, 0, 0x10, 'a', 0x00, 0x00, 0x10, 'b'},
       "lz4 decompression failed: 0 is not a valid match offset"},
      {"offset before the output",
       0x10,
       {9, 0, 0, 0, 0x10, 'a', 0x05, 0x00, 0x10, 'b'},
       "lz4 decompression failed: the offset to copy is not contained in the decompressed buffer"},
      {"offset cut short",
       0x10,
       {9, 0, 0, 0, 0x10, 'a', 0x01},
       "lz4 decompression failed: expected another byte, found none"},
  };
  for (const Case& c : cases) {
    Result<Bytes> r = decompress_payload(c.compression, c.payload);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.message(), c.error) << c.name;
  }
  Result<Bytes> empty = decompress_payload(0x10, Bytes{0, 0, 0, 0, 0x00});
  ASSERT_TRUE(empty.ok()) << empty.message();
  EXPECT_TRUE(empty->empty());
  const Bytes data = text_bytes("abcabcabcabcabcabcabcabc");
  Result<Bytes> roomy = decompress_payload(0x1F, lz4(data, 200));
  ASSERT_TRUE(roomy.ok()) << roomy.message();
  EXPECT_EQ(*roomy, data);
}

// A block cannot produce more than 255 bytes per byte; a prefix that claims more is refused
// before anything is allocated, and a generous one keeps only the bytes produced.
TEST(DecompressPayload, ASizePrefixIsBoundByWhatTheBlockCanProduce) {
  const Bytes data = text_bytes("abcabcabcabcabcabcabcabc");
  const std::uint32_t block = static_cast<std::uint32_t>(lz4(data).size() - 4);
  // One literal, a match of 4 + 15 + 255 * 100 + 254 bytes at offset 1, five final literals.
  Bytes dense = {0x1F, 'a', 0x01, 0x00};
  dense.insert(dense.end(), 100, 255);
  dense.insert(dense.end(), {254, 0x50, 'b', 'b', 'b', 'b', 'b'});
  const std::uint32_t dense_size = 1 + 19 + 255 * 100 + 254 + 5;
  auto prefixed = [](std::uint32_t size, const Bytes& bytes) {
    Bytes out = {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                 static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
  };
  struct Case {
    std::string name;
    Bytes payload;
    std::string error;  // empty: decodes
  };
  const std::vector<Case> cases = {
      {"at the bound", lz4(data, 255 * block), ""},
      {"one above the bound", lz4(data, 255 * block + 1),
       fmt::format("lz4 decompression failed: the size prefix {} is more than a block of {} "
                   "bytes can produce ({})",
                   255 * block + 1, block, 255 * block)},
      {"256 MiB for one byte", prefixed(256u << 20, {0x10, 'a'}),
       "lz4 decompression failed: the size prefix 268435456 is more than a block of 2 bytes can "
       "produce (510)"},
      {"a broken block says what is broken", prefixed(1000, {0x10, 'a', 0x00, 0x00}),
       "lz4 decompression failed: 0 is not a valid match offset"},
      {"the densest block", prefixed(dense_size, dense), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Bytes> r = decompress_payload(0x10, c.payload);
    if (!c.error.empty()) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.message(), c.error);
      continue;
    }
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r->capacity(), r->size());
  }
  Result<Bytes> dense_out = decompress_payload(0x10, prefixed(dense_size, dense));
  ASSERT_TRUE(dense_out.ok());
  EXPECT_EQ(dense_out->size(), dense_size);
  EXPECT_EQ(dense_out->back(), 'b');
}

TEST(EncodePacket, PingIsTheExactBytes) {
  const Bytes expected =
      concat({Bytes{0x50, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A}, text_bytes("[\"ping\",5]")});
  EXPECT_EQ(encode_packet(Value::array({"ping", 5})), expected);
}

TEST(EncodePacket, CompactJsonWithSortedKeysAndMinimalEscapes) {
  Value object = Value::object();
  object["b"] = 1;
  object["B"] = true;
  object["a"] = Value::array({1.5, 2.0, 0.1, -3, 18446744073709551615ull, nullptr});
  const Value packet = Value::array({"q\"b\\s\b\t\n\f\r\x01\x1f/\x7f\xc3\xa9", object});
  const Bytes bytes = encode_packet(packet);
  ASSERT_GE(bytes.size(), 8u);
  const std::string json(bytes.begin() + 8, bytes.end());
  EXPECT_EQ(json,
            "[\"q\\\"b\\\\s\\b\\t\\n\\f\\r\\u0001\\u001f/\x7f\xc3\xa9\","
            "{\"B\":true,\"a\":[1.5,2.0,0.1,-3,18446744073709551615,null],\"b\":1}]");
  EXPECT_EQ(PacketHeader::parse(std::span<const std::uint8_t, 8>(bytes.data(), 8)).payload_size,
            json.size());
  // Invalid UTF-8 in a string is replaced, never thrown.
  const Bytes replaced = encode_packet(Value::array({"a\xff"}));
  EXPECT_EQ(std::string(replaced.begin() + 8, replaced.end()), "[\"a\xef\xbf\xbd\"]");
}

TEST(WritePacket, OneBufferThroughTheTransportAndErrorsReturned) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd server(fds[1]);
  Transport transport{Transport::Tcp{UniqueFd(fds[0])}};
  const Value packet = Value::array({"keyboard-event", 1, "a", true});
  ASSERT_TRUE(test::write_packet(transport, packet).ok());
  const Bytes expected = encode_packet(packet);
  Bytes got(expected.size() + 1);
  ASSERT_EQ(::read(server.get(), got.data(), got.size()), static_cast<ssize_t>(expected.size()));
  got.resize(expected.size());
  EXPECT_EQ(got, expected);

  server = UniqueFd();
  Status failed = test::write_packet(transport, packet);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.message(), "Broken pipe (os error 32)");
}

}  // namespace
}  // namespace nolv
