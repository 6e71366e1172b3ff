#include "platform/qt/qt_clipboard.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QMimeData>
#include <QString>
#include <QThread>

namespace nolv {
namespace {

// One call handed to the event-loop thread; shared by the waiter and the queued functor.
struct Call {
  std::mutex mutex;
  std::condition_variable_any done_cv;
  std::optional<Result<std::string>> result;
  bool abandoned = false;  // the waiter has gone: the functor does nothing

  void complete(Result<std::string> r) {
    {
      std::lock_guard lock(mutex);
      if (result.has_value()) return;
      result.emplace(std::move(r));
    }
    done_cv.notify_all();
  }
};

Result<std::string> read_on_loop() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return fail("no clipboard");
  const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
  if (data == nullptr || !data->hasText()) return fail("the clipboard holds no text");
  QString text = data->text();
  // As with the platform's own text format, the text ends at its first NUL.
  if (const auto nul = text.indexOf(QChar(u'\0')); nul >= 0) text.truncate(nul);
  const QByteArray utf8 = text.toUtf8();
  return std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

Result<std::string> write_on_loop(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return fail("no clipboard");
  clipboard->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                     QClipboard::Clipboard);
  return std::string();
}

}  // namespace

struct QtClipboard::Shared {
  std::mutex mutex;
  bool attached = true;
  std::vector<std::weak_ptr<Call>> pending;
};

QtClipboard::QtClipboard() : shared_(std::make_shared<Shared>()) {}

QtClipboard::~QtClipboard() {
  detach();
}

void QtClipboard::detach() {
  std::vector<std::weak_ptr<Call>> pending;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->attached = false;
    pending.swap(shared_->pending);
  }
  for (const auto& weak : pending) {
    if (auto call = weak.lock()) call->complete(fail("the event loop has ended"));
  }
}

Result<std::string> QtClipboard::call_on_loop(std::function<Result<std::string>()> fn,
                                              std::stop_token stop) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread()) return fn();
  if (stop.stop_requested()) return fail("the clipboard thread is stopping");

  auto call = std::make_shared<Call>();
  {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->attached || app == nullptr) return fail("the event loop has ended");
    std::erase_if(shared_->pending, [](const std::weak_ptr<Call>& w) { return w.expired(); });
    shared_->pending.push_back(call);
    // Posted under the lock: detach() cannot pass between the check and the post, and the
    // application object outlives every attached clipboard.
    QMetaObject::invokeMethod(
        app,
        [call, fn = std::move(fn)] {
          {
            std::lock_guard call_lock(call->mutex);
            if (call->abandoned || call->result.has_value()) return;
          }
          call->complete(fn());
        },
        Qt::QueuedConnection);
  }

  std::unique_lock lock(call->mutex);
  call->done_cv.wait(lock, stop, [&] { return call->result.has_value(); });
  if (!call->result.has_value()) {
    call->abandoned = true;
    return fail("the clipboard thread is stopping");
  }
  return std::move(*call->result);
}

Result<std::string> QtClipboard::read_text(std::stop_token stop) {
  return call_on_loop(read_on_loop, stop);
}

Status QtClipboard::write_text(const std::string& text, std::stop_token stop) {
  Result<std::string> done = call_on_loop([text] { return write_on_loop(text); }, stop);
  if (!done) return done.error();
  return {};
}

}  // namespace nolv
