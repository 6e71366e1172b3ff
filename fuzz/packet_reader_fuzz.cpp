// Bytes from the network -> the "reader" thread body: framing, chunks, LZ4, UTF-8 and YAML
// parsing, over a plain stream (first input byte even) or websocket frames (odd).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fuzz_transport.h"
#include "net/io.h"
#include "platform/event_proxy.h"

namespace {

class CountingSink : public nolv::EventSink {
 public:
  bool post(nolv::Packet packet) override {
    ++posted;
    (void)packet;
    return true;
  }
  std::size_t posted = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool ws = (data[0] & 1) != 0;
  nolv::fuzz::FedTransport fed(std::span(data + 1, size - 1), ws);
  auto sink = std::make_shared<CountingSink>();
  nolv::read_packet(std::move(fed.transport), nolv::EventLoopProxy(sink));
  // The reader ends with exactly one failure event after every packet.
  if (sink->posted == 0) __builtin_trap();
  return 0;
}
