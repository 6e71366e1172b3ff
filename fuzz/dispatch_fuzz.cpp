// A YAML text from the network -> every document whose root is a sequence starting with a String
// becomes one packet, dispatched in order to one Client built as the unit tests build one (fake
// windows, a recording proxy, a transport whose peer drains what the Client writes). Every
// handler must survive any item types and counts, and any order of packets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "client/client.h"
#include "fakes/active_event_loop.h"
#include "fakes/event_sink.h"
#include "fuzz_transport.h"
#include "net/serde.h"

// No pinentry and no dialog: a challenge is answered from the environment.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("NOLV_PASSWORD", "fuzz", 1);
  ::unsetenv("PINENTRY_PROGRAM");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!nolv::check_utf8(std::span(data, size))) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto documents = nolv::load_yaml_documents(text);
  if (!documents) return 0;

  nolv::fuzz::FedTransport fed({}, false);
  auto sink = std::make_shared<nolv::RecordingSink>();
  auto channel = nolv::DecodeChannel::open();
  nolv::FakeActiveLoop loop;
  {
    auto client = nolv::Client::create(nolv::ClientContext{nolv::EventLoopProxy(sink),
                                                           channel.sender,
                                                           std::make_shared<nolv::LogForwardSlot>(),
                                                           {}},
                                       std::move(fed.transport), "tcp://127.0.0.1:1/", std::nullopt,
                                       std::nullopt);
    client->resumed = true;  // as after the loop's Resumed: windows can be created
    for (nolv::Yaml& document : *documents) {
      nolv::Yaml::Array* items = document.as_array();
      if (items == nullptr || items->empty()) continue;
      const std::string* name = items->front().as_string();
      if (name == nullptr) continue;
      const std::string type = *name;
      nolv::Packet packet;
      packet.items = std::move(*items);
      // As the reader marks it: names of internal events must be refused, not handled.
      packet.from_server = true;
      client->dispatch_packet(loop, type, std::move(packet));
    }
  }
  // Ping threads started by "startup-complete" end on their next post.
  sink->close();
  return 0;
}
