// The local clipboard over QClipboard. QClipboard belongs to the event-loop thread, so the
// "clipboard" thread reaches it by a queued call that it waits for: a blocking queued call that
// gives up when the thread is asked to stop, or when the event loop has ended.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/clipboard.h"

namespace nolv {

class QtClipboard : public ClipboardAccess {
 public:
  // Created on the event-loop thread once the application object exists.
  QtClipboard();
  ~QtClipboard() override;

  // Text only: anything else on the clipboard reads as an error ("holds no text").
  Result<std::string> read_text(std::stop_token stop) override;
  Status write_text(const std::string& text, std::stop_token stop) override;

  // The event loop has ended: calls waiting for it fail now, later calls fail at once.
  void detach();

  // Runs `fn` on the event-loop thread and waits for its result; on that thread it runs at once.
  Result<std::string> call_on_loop(std::function<Result<std::string>()> fn, std::stop_token stop);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

}  // namespace nolv
