// Interim definitions of Client members whose slice has not landed yet. Each logs one debug
// line and does nothing else. The owner deletes its functions here when landing the real ones.
#include "client/client.h"

namespace nolv {

namespace {
constexpr std::string_view kLog = "nolv::client::client";
}  // namespace

// ---- audio ----

void Client::handle_audio_capabilities(ActiveEventLoop&, Packet& packet) {
  log_debug(kLog, "not handled yet: {}", to_string(packet));
}

void Client::handle_audio_data(ActiveEventLoop&, Packet& packet) {
  log_debug(kLog, "not handled yet: {}", to_string(packet));
}

void Client::handle_audio_latency(ActiveEventLoop&, Packet& packet) {
  log_debug(kLog, "not handled yet: {}", to_string(packet));
}

void Client::handle_audio_worker_failed(ActiveEventLoop&, Packet& packet) {
  log_debug(kLog, "not handled yet: {}", to_string(packet));
}

AudioWorkerBody audio_worker_body() {
  return [](AudioProbeSender probe, std::shared_ptr<std::atomic<bool>>) {
    probe(fail("no audio output in this build"));
  };
}

void Client::audio_hello_step(const Yaml&) {
  log_debug(kLog, "no speaker forwarding step yet");
}

}  // namespace nolv
