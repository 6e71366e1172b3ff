#include "net/writer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "util/thread.h"

namespace nolv {

namespace {

// The thread only moves bytes from the queue to the socket.
constexpr std::size_t kWriterStackSize = 256 * 1024;
// How long the shut-down waits for the thread to notice that the connection is down. A write to
// an ssh child that does not read is not woken by anything; the thread is then left behind.
constexpr std::chrono::milliseconds kStopGrace{250};
// A drained batch buffer larger than this is released rather than kept for the next batch.
constexpr std::size_t kKeptBatchCapacity = 1024 * 1024;

}  // namespace

struct PacketWriter::State {
  Transport transport;
  std::shared_ptr<Backlog> backlog;
  FailureHandler on_failure;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  Bytes queued;            // whole frames, in the order given
  bool writing = false;    // a batch taken off `queued` is being written
  bool failed = false;     // a write failed: nothing more is taken
  bool finishing = false;  // the shut-down began: nothing more is taken, failures are quiet
  bool stopping = false;   // drop what is left and end
  bool ended = false;      // the thread has returned

  // Appends a framed packet; false when nothing more is taken.
  bool push(Bytes frame) {
    {
      std::lock_guard lock(mutex);
      if (failed || finishing) return false;
      backlog->add(frame.size());
      if (queued.empty()) {
        queued = std::move(frame);
      } else {
        queued.insert(queued.end(), frame.begin(), frame.end());
      }
    }
    changed.notify_all();
    return true;
  }

  // Under `mutex`: forgets the queue, and its bytes in the backlog.
  void drop_queued() {
    backlog->remove(queued.size());
    queued.clear();
  }

  bool shutting_down() const {
    std::lock_guard lock(mutex);
    return finishing || stopping;
  }

  bool idle() const { return (queued.empty() && !writing) || failed || ended; }

  // Writes `batch` in slices; the error text of the first failed write, if any.
  std::optional<std::string> write_batch(const Bytes& batch) {
    std::span<const std::uint8_t> rest(batch);
    while (!rest.empty()) {
      const std::span<const std::uint8_t> slice = rest.first(std::min(rest.size(), kWriteSlice));
      Status written = transport_write_raw(transport, slice);
      if (!written) {
        backlog->remove(rest.size());
        return written.message();
      }
      backlog->remove(slice.size());
      rest = rest.subspan(slice.size());
    }
    return std::nullopt;
  }

  void run() {
    Bytes batch;
    for (;;) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || !queued.empty(); });
        if (stopping) break;
        batch.swap(queued);
        writing = true;
      }
      const std::optional<std::string> error = write_batch(batch);
      batch.clear();
      if (batch.capacity() > kKeptBatchCapacity) Bytes().swap(batch);
      // A refused TLS handshake is the reader's to report, with its own code.
      if (error && !shutting_down() && on_failure && !transport_setup_failure(transport)) {
        on_failure(*error);
      }
      {
        // Only now, so that whoever waits for the writer finds the failure already reported.
        std::lock_guard lock(mutex);
        writing = false;
        if (error) {
          failed = true;
          drop_queued();
        }
      }
      changed.notify_all();
      if (error) break;
    }
    {
      std::lock_guard lock(mutex);
      drop_queued();
      ended = true;
    }
    changed.notify_all();
  }
};

Result<std::unique_ptr<PacketWriter>> PacketWriter::start(Transport transport,
                                                          std::shared_ptr<Backlog> backlog,
                                                          FailureHandler on_failure) {
  auto state = std::make_shared<State>();
  state->transport = std::move(transport);
  state->backlog = std::move(backlog);
  state->on_failure = std::move(on_failure);
  // The reader's pongs join the queue; a reader that outlives the writer finds it gone.
  transport_route_pongs(state->transport, [weak = std::weak_ptr<State>(state)](Bytes frame) {
    if (auto alive = weak.lock()) (void)alive->push(std::move(frame));
  });
  Status started = spawn_detached(
      "writer", [state] { state->run(); }, kWriterStackSize);
  if (!started) return started.error();
  return std::unique_ptr<PacketWriter>(new PacketWriter(std::move(state)));
}

PacketWriter::~PacketWriter() {
  if (!finished_) finish(kFarewellDeadline);
}

bool PacketWriter::enqueue(Bytes packet) {
  return state_->push(transport_frame(state_->transport, std::move(packet)));
}

bool PacketWriter::failed() const {
  std::lock_guard lock(state_->mutex);
  return state_->failed;
}

bool PacketWriter::wait_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, timeout, [&] { return state_->idle(); });
  return state_->queued.empty() && !state_->writing;
}

void PacketWriter::finish(std::chrono::milliseconds deadline) {
  finished_ = true;
  {
    std::lock_guard lock(state_->mutex);
    state_->finishing = true;
  }
  (void)wait_idle(deadline);
  transport_shutdown(state_->transport);
  {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->drop_queued();
    state_->changed.notify_all();
    state_->changed.wait_for(lock, kStopGrace, [&] { return state_->ended; });
  }
}

std::optional<ConnectError> PacketWriter::setup_failure() const {
  return transport_setup_failure(state_->transport);
}

Result<Transport> PacketWriter::clone_transport() const {
  return state_->transport.try_clone();
}

}  // namespace nolv
