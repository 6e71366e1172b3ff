// A Client over a socketpair transport, a recording proxy and a fake active loop.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "fakes/active_event_loop.h"
#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "fakes/socket_transport.h"
#include "unit/yaml_builders.h"

namespace nolv {

inline Packet packet_of(std::vector<Yaml> items) {
  Packet p;
  p.items = std::move(items);
  return p;
}

// Sets or unsets an environment variable for one test.
class ScopedEnv {
 public:
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline bool any_line_has(const std::vector<std::string>& lines, std::string_view text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    peer.settle = [this] {
      if (client) (void)client->writer->wait_idle(std::chrono::seconds(10));
    };
  }
  void SetUp() override {
    ensure_test_logger();
    client =
        Client::create(ClientContext{EventLoopProxy(sink), {}, slot, services},
                       peer.make_transport(), "tcp://127.0.0.1:1/", std::nullopt, std::nullopt);
  }
  void dispatch(std::vector<Yaml> items) {
    Packet p = packet_of(std::move(items));
    const std::string name = *p.items[0].as_string();
    client->dispatch_packet(loop, name, std::move(p));
  }
  // The names of the events posted so far.
  std::vector<std::string> posted_names() {
    std::vector<std::string> names;
    for (const Packet& p : sink->take()) names.push_back(packet_get_str(p.items, 0));
    return names;
  }

  SocketPeer peer;
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  std::shared_ptr<LogForwardSlot> slot = std::make_shared<LogForwardSlot>();
  // What the session is built with; a fixture fills it before SessionTest::SetUp.
  SessionServices services;
  FakeActiveLoop loop;
  std::unique_ptr<Client> client;
};

}  // namespace nolv
