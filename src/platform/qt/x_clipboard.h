// The X CLIPBOARD selection over an X connection of the "clipboard" thread's own: the event
// loop never waits on another program's clipboard. Every request to another owner has a
// deadline, so an owner that never answers costs that thread its time and nothing else; long
// texts come and go in pieces (INCR); a text written here is served to other programs while the
// thread waits between polls.
#pragma once

#include <memory>
#include <mutex>

#include "platform/clipboard.h"
#include "util/unique_handle.h"

namespace nolv {

class XClipboard : public ClipboardAccess {
 public:
  XClipboard(const XClipboard&) = delete;
  XClipboard& operator=(const XClipboard&) = delete;
  XClipboard();
  ~XClipboard() override;

  // Text is bytes as they are, NULs included; invalid UTF-8 from another program is replaced.
  Result<std::string> read_text(std::stop_token stop) override;
  Status write_text(const std::string& text, std::stop_token stop) override;
  void wait_until(std::chrono::steady_clock::time_point deadline) override;
  void wake() override;

 private:
  class Connection;
  Result<Connection*> connection();

  std::mutex mutex_;  // the thread's calls; only one thread uses the connection at a time
  UniqueFd wake_fd_;  // an eventfd that wake() writes; outlives the connection that polls it
  std::unique_ptr<Connection> x_;
};

}  // namespace nolv
