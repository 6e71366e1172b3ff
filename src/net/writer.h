// The writing side of the connection, on a thread of its own ("writer"): callers queue whole
// encoded packets and never wait for the server to take them, so a server that stops reading
// cannot stall the event loop, and with it the user's way out.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "net/backlog.h"
#include "net/connect.h"
#include "net/packet.h"
#include "util/result.h"

namespace nolv {

// How long the shut-down waits for the queued bytes (the farewell "connection-close" among them)
// to reach the socket before it shuts the connection down regardless: long enough for a server
// that reads, short enough that leaving stays prompt when it does not.
inline constexpr std::chrono::milliseconds kFarewellDeadline{1500};

// Bytes taken off the queue per write call, and then removed from the backlog: a server that
// reads slowly frees room for the reader as it goes rather than only once a whole batch is out.
inline constexpr std::size_t kWriteSlice = 256 * 1024;

class PacketWriter {
 public:
  // Called once, on the writer thread, with the error text of a failed write; never for the
  // failures that the shut-down itself causes.
  using FailureHandler = std::function<void(const std::string& error)>;

  // Takes over the writing handle and starts the thread. The reader's pongs (websocket) are
  // queued here too, behind the packets before them. Queued bytes count in `backlog` until
  // written or dropped.
  [[nodiscard]] static Result<std::unique_ptr<PacketWriter>> start(Transport transport,
                                                                   std::shared_ptr<Backlog> backlog,
                                                                   FailureHandler on_failure);

  PacketWriter(const PacketWriter&) = delete;
  PacketWriter& operator=(const PacketWriter&) = delete;
  // finish(kFarewellDeadline) unless it ran already.
  ~PacketWriter();

  // Queues one encoded packet (framed here for the transport); false once a write has failed or
  // the shut-down has begun, and then nothing is queued.
  bool enqueue(Bytes packet);

  // True once a write has failed.
  bool failed() const;

  // Waits at most `timeout` until every queued byte is written or a write failed; true when
  // nothing is left to write.
  bool wait_idle(std::chrono::milliseconds timeout) const;

  // Takes no more packets, waits at most `deadline` for the queue to empty, then shuts the
  // connection down so that every thread blocked on it wakes, and drops what is left. Returns
  // within `deadline` plus a short grace, whatever the server does.
  void finish(std::chrono::milliseconds deadline);

  // The set-up's failure that showed only once the session had begun (a TLS server's late
  // refusal of the handshake); the writer leaves its report to the reader.
  [[nodiscard]] std::optional<ConnectError> setup_failure() const;

  // A second handle on the connection for the reader thread.
  [[nodiscard]] Result<Transport> clone_transport() const;

  struct State;  // shared with the thread, which may outlive this object when stuck

 private:
  explicit PacketWriter(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
  bool finished_ = false;
};

}  // namespace nolv
