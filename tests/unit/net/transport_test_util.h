// Loopback peers for the transport tests: listening sockets and child processes, every wait
// bounded.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/connect.h"
#include "net/io.h"

extern char** environ;

namespace nolv::test {

// Encodes the packet and writes it as one buffer through the transport's write primitive, as a
// server's peer would without the packet writer's thread.
[[nodiscard]] inline Status write_packet(Transport& transport, const Value& packet) {
  const Bytes frame = encode_packet(packet);
  if (frame.empty()) return fail("the packet is too large to frame");
  return transport_write_all(transport, frame);
}

// A socket listening on a free loopback port.
class Listener {
 public:
  explicit Listener(int family = AF_INET) {
    fd_ = UniqueFd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
      auto* sa = reinterpret_cast<sockaddr_in*>(&storage);
      sa->sin_family = AF_INET;
      sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof(sockaddr_in);
    } else {
      auto* sa = reinterpret_cast<sockaddr_in6*>(&storage);
      sa->sin6_family = AF_INET6;
      sa->sin6_addr = in6addr_loopback;
      length = sizeof(sockaddr_in6);
    }
    ok_ = ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0 &&
          ::listen(fd_.get(), 8) == 0 &&
          ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&storage), &length) == 0;
    port_ = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                              : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }

  bool ok() const { return ok_; }
  std::uint16_t port() const { return port_; }

  // The next connection, or an invalid descriptor after `timeout`.
  UniqueFd accept(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return UniqueFd();
    return UniqueFd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  UniqueFd fd_;
  std::uint16_t port_ = 0;
  bool ok_ = false;
};

// A loopback port on which nothing listens (bound, then released).
inline std::uint16_t closed_port() {
  Listener l;
  return l.port();
}

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

inline bool send_all(int fd, std::string_view text) {
  return fd_write_all(
             fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), true)
      .ok();
}

// Reads until `count` bytes arrived or `timeout` passed.
inline std::string recv_some(int fd, std::size_t count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// A child process, killed and reaped when dropped.
class Child {
 public:
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child() = default;
  explicit Child(std::vector<std::string> argv, int stdout_fd = -1) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd >= 0) {
      posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = -1;
  }
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  Child& operator=(Child&& other) noexcept {
    stop();
    pid_ = std::exchange(other.pid_, -1);
    return *this;
  }
  ~Child() { stop(); }

  bool running() const { return pid_ > 0; }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// A child whose standard output is a pipe read by the test.
struct Spawned {
  Child child;
  UniqueFd out;
};

inline Spawned spawn_with_stdout(std::vector<std::string> argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  Spawned s;
  s.child = Child(std::move(argv), write_end.get());
  s.out = std::move(read_end);
  return s;
}

// The first line of `fd` that starts with `prefix` (without it), or nothing after `timeout`.
inline std::optional<std::string> wait_for_line(
    int fd, std::string_view prefix, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) != 1) return std::nullopt;
    char c = 0;
    if (::read(fd, &c, 1) != 1) return std::nullopt;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.starts_with(prefix)) return line.substr(prefix.size());
    line.clear();
  }
}

// A fresh private directory, removed with its contents when dropped.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nolv-test-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) (void)std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Waits until something accepts connections on 127.0.0.1:port.
inline bool wait_for_port(std::uint16_t port,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

inline Target tcp_target(std::string address, TargetKind kind = TargetKind::Tcp) {
  Target t;
  t.address = std::move(address);
  t.kind = kind;
  return t;
}

}  // namespace nolv::test
