// The local clipboard's text, as the "clipboard" thread reaches it. Only that thread calls it.
#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "util/result.h"

namespace nolv {

class ClipboardAccess {
 public:
  virtual ~ClipboardAccess() = default;
  // The clipboard's text as UTF-8; an error when it holds no text or cannot be read. A call
  // waiting on another thread gives up once `stop` is requested.
  virtual Result<std::string> read_text(std::stop_token stop) = 0;
  virtual Status write_text(const std::string& text, std::stop_token stop) = 0;
};

// The process-wide clipboard service, installed by the platform layer once its event loop exists.
// Without one, every read and write fails.
void install_clipboard_access(std::shared_ptr<ClipboardAccess> access);
std::shared_ptr<ClipboardAccess> installed_clipboard_access();

}  // namespace nolv
