#include "platform/qt/x_clipboard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "util/text.h"
#include "util/unique_handle.h"

namespace nolv {
namespace {

using Clock = std::chrono::steady_clock;

// An owner that takes longer than this over one step of a read is given up until the next poll.
constexpr auto kStepTimeout = std::chrono::seconds(1);
// A whole read ends within this, however steadily an owner trickles its pieces.
constexpr auto kReadTimeout = std::chrono::seconds(10);
// Longer texts go to other programs in pieces of this size: well below any X server's request
// limit, and one piece is what a requestor takes at a time.
constexpr std::size_t kIncrPiece = std::size_t{64} << 10;
// Requestors taking a long text in pieces at the same time; more are refused.
constexpr std::size_t kMaxIncrTransfers = 8;
// A requestor that takes no piece for this long is given up.
constexpr auto kIncrIdleTimeout = std::chrono::seconds(5);

void free_reply(void* reply) {
  std::free(reply);
}
template <class T>
using XReply = UniqueHandle<T, free_reply>;
using XcbConnection = UniqueHandle<xcb_connection_t, xcb_disconnect>;
using Event = XReply<xcb_generic_event_t>;

std::string latin1_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) append_utf8(out, static_cast<unsigned char>(c));
  return out;
}

// Characters beyond Latin-1 become "?".
std::string utf8_to_latin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = next_code_point(text, i);
    out.push_back(cp.valid && cp.value <= 0xFF ? static_cast<char>(cp.value) : '?');
    i += cp.length;
  }
  return out;
}

int millis_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max()));
}

}  // namespace

class XClipboard::Connection {
 public:
  static Result<std::unique_ptr<Connection>> open(int wake_fd) {
    int screen_number = 0;
    XcbConnection c(xcb_connect(nullptr, &screen_number));
    if (xcb_connection_has_error(c.get()) != 0) {
      return fail("cannot open the display for the clipboard");
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
    for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return fail("the display has no screen {}", screen_number);
    const xcb_window_t root = screens.data->root;
    return std::make_unique<Connection>(std::move(c), root, wake_fd);
  }

  Connection(XcbConnection c, xcb_window_t root, int wake_fd)
      : c_(std::move(c)), wake_fd_(wake_fd) {
    const std::array<std::string_view, 9> names = {"CLIPBOARD",
                                                   "UTF8_STRING",
                                                   "TEXT",
                                                   "TARGETS",
                                                   "TIMESTAMP",
                                                   "INCR",
                                                   "text/plain;charset=utf-8",
                                                   "text/plain",
                                                   "NOLV_SELECTION"};
    std::array<xcb_intern_atom_cookie_t, names.size()> cookies;
    for (std::size_t i = 0; i < names.size(); ++i) {
      cookies[i] = xcb_intern_atom(c_.get(), 0, static_cast<std::uint16_t>(names[i].size()),
                                   names[i].data());
    }
    std::array<xcb_atom_t, names.size()> atoms{};
    for (std::size_t i = 0; i < names.size(); ++i) {
      XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c_.get(), cookies[i], nullptr));
      atoms[i] = reply != nullptr ? reply->atom : XCB_NONE;
    }
    clipboard_ = atoms[0];
    utf8_string_ = atoms[1];
    text_ = atoms[2];
    targets_ = atoms[3];
    timestamp_ = atoms[4];
    incr_ = atoms[5];
    text_plain_utf8_ = atoms[6];
    text_plain_ = atoms[7];
    property_ = atoms[8];
    window_ = xcb_generate_id(c_.get());
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c_.get(), XCB_COPY_FROM_PARENT, window_, root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c_.get());
  }

  bool broken() const { return xcb_connection_has_error(c_.get()) != 0; }

  Result<std::string> read(const std::stop_token& stop) {
    handle_queued();
    if (owned_ != nullptr) return *owned_;
    XReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        c_.get(), xcb_get_selection_owner(c_.get(), clipboard_), nullptr));
    if (owner == nullptr) return fail("cannot ask for the clipboard owner");
    if (owner->owner == XCB_NONE) return fail("the clipboard holds no text");
    const Clock::time_point read_deadline = Clock::now() + kReadTimeout;
    const xcb_timestamp_t time = timestamp();
    for (xcb_atom_t target : {utf8_string_, xcb_atom_t{XCB_ATOM_STRING}}) {
      Result<std::optional<std::string>> bytes = convert(target, time, stop, read_deadline);
      if (!bytes) return bytes.error();
      if (!bytes->has_value()) continue;  // the owner refused this target
      return target == XCB_ATOM_STRING ? latin1_to_utf8(**bytes) : utf8_lossy(**bytes);
    }
    return fail("the clipboard holds no text");
  }

  Status write(std::string text) {
    handle_queued();
    const xcb_timestamp_t time = timestamp();
    owned_ = std::make_shared<const std::string>(std::move(text));
    owned_since_ = time;
    xcb_set_selection_owner(c_.get(), window_, clipboard_, time);
    XReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        c_.get(), xcb_get_selection_owner(c_.get(), clipboard_), nullptr));
    if (owner == nullptr || owner->owner != window_) {
      owned_.reset();
      return fail("another program kept the clipboard");
    }
    return {};
  }

  // Serves other programs until the deadline or a wake.
  void wait(Clock::time_point deadline) {
    if (std::exchange(woken_, false)) return;
    (void)serve([](const xcb_generic_event_t&) { return false; }, deadline, nullptr, true);
    woken_ = false;
  }

 private:
  struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const std::string> text;
    std::size_t offset = 0;
    Clock::time_point deadline;
  };

  // Handles events until `want` takes one, which is returned; null at the deadline, on a stop,
  // on a broken connection, or (when `wake_ends`) on a wake.
  template <class Want>
  Event serve(Want want, Clock::time_point deadline, const std::stop_token* stop, bool wake_ends) {
    while (true) {
      while (Event e{xcb_poll_for_event(c_.get())}) {
        if (want(*e)) return e;
        handle(*e);
      }
      if (broken() || (stop != nullptr && stop->stop_requested())) return nullptr;
      expire_transfers();
      if (Clock::now() >= deadline) return nullptr;
      xcb_flush(c_.get());
      std::array<pollfd, 2> fds = {pollfd{xcb_get_file_descriptor(c_.get()), POLLIN, 0},
                                   pollfd{wake_fd_, POLLIN, 0}};
      if (::poll(fds.data(), fds.size(), millis_until(deadline)) < 0 && errno != EINTR) {
        return nullptr;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)!::read(wake_fd_, &count, sizeof count);
        woken_ = true;
        if (wake_ends) return nullptr;
      }
    }
  }

  void handle_queued() {
    (void)serve([](const xcb_generic_event_t&) { return false; }, Clock::now(), nullptr, false);
  }

  static std::uint8_t kind(const xcb_generic_event_t& e) { return e.response_type & 0x7F; }

  void handle(const xcb_generic_event_t& e) {
    switch (kind(e)) {
      case XCB_SELECTION_REQUEST:
        answer(reinterpret_cast<const xcb_selection_request_event_t&>(e));
        break;
      case XCB_SELECTION_CLEAR: {
        const auto& clear = reinterpret_cast<const xcb_selection_clear_event_t&>(e);
        if (clear.selection == clipboard_ && clear.owner == window_) owned_.reset();
        break;
      }
      case XCB_PROPERTY_NOTIFY: {
        const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(e);
        if (p.state == XCB_PROPERTY_DELETE) next_piece(p.window, p.atom);
        break;
      }
      default:  // errors of requests to windows that have gone, and everything else
        break;
    }
  }

  // The server's time now, for the selection requests: a property change reports it.
  xcb_timestamp_t timestamp() {
    xcb_change_property(c_.get(), XCB_PROP_MODE_APPEND, window_, timestamp_, XCB_ATOM_INTEGER, 32,
                        0, nullptr);
    Event e = serve(
        [&](const xcb_generic_event_t& ev) {
          if (kind(ev) != XCB_PROPERTY_NOTIFY) return false;
          const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
          return p.window == window_ && p.atom == timestamp_;
        },
        Clock::now() + kStepTimeout, nullptr, false);
    if (e == nullptr) return XCB_CURRENT_TIME;
    return reinterpret_cast<const xcb_property_notify_event_t&>(*e).time;
  }

  XReply<xcb_get_property_reply_t> get_property(bool remove, std::uint32_t words) {
    return XReply<xcb_get_property_reply_t>(
        xcb_get_property_reply(c_.get(),
                               xcb_get_property(c_.get(), remove ? 1 : 0, window_, property_,
                                                XCB_GET_PROPERTY_TYPE_ANY, 0, words),
                               nullptr));
  }

  // The whole value of our property, which holds at most `limit` bytes; deleted once read.
  Result<std::string> take_property(std::size_t limit) {
    XReply<xcb_get_property_reply_t> head = get_property(false, 0);
    if (head == nullptr) return fail("cannot read the clipboard text");
    const std::size_t size = head->bytes_after;
    if (size > limit) return fail("the clipboard text is over {} bytes", kMaxClipboardText);
    XReply<xcb_get_property_reply_t> full =
        get_property(true, static_cast<std::uint32_t>((size + 3) / 4));
    if (full == nullptr) return fail("cannot read the clipboard text");
    const auto* data = static_cast<const char*>(xcb_get_property_value(full.get()));
    return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(full.get())));
  }

  Event wait_for_property(const std::stop_token& stop, Clock::time_point read_deadline) {
    return serve(
        [&](const xcb_generic_event_t& ev) {
          if (kind(ev) != XCB_PROPERTY_NOTIFY) return false;
          const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(ev);
          return p.window == window_ && p.atom == property_ && p.state == XCB_PROPERTY_NEW_VALUE;
        },
        std::min(Clock::now() + kStepTimeout, read_deadline), &stop, false);
  }

  Status not_answered(const std::stop_token& stop) const {
    if (stop.stop_requested()) return fail("the clipboard thread is stopping");
    if (broken()) return fail("the connection to the display is broken");
    return fail("the clipboard owner did not answer in time");
  }

  // The owner's text in `target`; none when it refuses that target.
  Result<std::optional<std::string>> convert(xcb_atom_t target, xcb_timestamp_t time,
                                             const std::stop_token& stop,
                                             Clock::time_point read_deadline) {
    xcb_delete_property(c_.get(), window_, property_);
    xcb_convert_selection(c_.get(), window_, clipboard_, target, property_, time);
    Event e = serve(
        [&](const xcb_generic_event_t& ev) {
          if (kind(ev) != XCB_SELECTION_NOTIFY) return false;
          const auto& n = reinterpret_cast<const xcb_selection_notify_event_t&>(ev);
          // The time tells this answer from a late one to an earlier request.
          return n.requestor == window_ && n.selection == clipboard_ && n.target == target &&
                 (n.time == time || n.time == XCB_CURRENT_TIME);
        },
        std::min(Clock::now() + kStepTimeout, read_deadline), &stop, false);
    if (e == nullptr) return not_answered(stop).error();
    if (reinterpret_cast<const xcb_selection_notify_event_t&>(*e).property == XCB_NONE) {
      return std::optional<std::string>();
    }
    XReply<xcb_get_property_reply_t> head = get_property(false, 1);
    if (head == nullptr) return fail("cannot read the clipboard text");
    if (head->type != incr_) {
      Result<std::string> text = take_property(kMaxClipboardText);
      if (!text) return text.error();
      return std::optional<std::string>(std::move(*text));
    }
    // In pieces: the value is a lower bound of the size; deleting it asks for the first piece.
    if (xcb_get_property_value_length(head.get()) >= 4) {
      std::uint32_t announced = 0;
      std::memcpy(&announced, xcb_get_property_value(head.get()), sizeof announced);
      if (announced > kMaxClipboardText) {
        return fail("the clipboard text is over {} bytes", kMaxClipboardText);
      }
    }
    xcb_delete_property(c_.get(), window_, property_);
    std::string text;
    while (true) {
      if (wait_for_property(stop, read_deadline) == nullptr) return not_answered(stop).error();
      Result<std::string> piece = take_property(kMaxClipboardText - text.size());
      if (!piece) return piece.error();
      if (piece->empty()) return std::optional<std::string>(std::move(text));
      text += *piece;
    }
  }

  void answer(const xcb_selection_request_event_t& request) {
    // Requestors from before the last convention name no property: the target stands for it.
    const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
    const bool ours = request.selection == clipboard_ && owned_ != nullptr &&
                      (request.time == XCB_CURRENT_TIME || request.time >= owned_since_);
    const bool given = ours && give(request.requestor, property, request.target);
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = given ? property : XCB_NONE;
    // An event sent is always 32 bytes long.
    std::array<char, 32> event{};
    std::memcpy(event.data(), &notify, sizeof notify);
    xcb_send_event(c_.get(), 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, event.data());
    xcb_flush(c_.get());
  }

  bool give(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target) {
    if (target == targets_) {
      const std::array<xcb_atom_t, 7> targets = {targets_,   timestamp_,      utf8_string_,
                                                 text_,      XCB_ATOM_STRING, text_plain_utf8_,
                                                 text_plain_};
      xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                          targets.size(), targets.data());
      return true;
    }
    if (target == timestamp_) {
      xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER,
                          32, 1, &owned_since_);
      return true;
    }
    if (target == utf8_string_ || target == text_) {
      return put_text(requestor, property, utf8_string_, owned_);
    }
    if (target == text_plain_utf8_ || target == text_plain_) {
      return put_text(requestor, property, target, owned_);
    }
    if (target == XCB_ATOM_STRING) {
      return put_text(requestor, property, XCB_ATOM_STRING,
                      std::make_shared<const std::string>(utf8_to_latin1(*owned_)));
    }
    return false;
  }

  bool put_text(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
                std::shared_ptr<const std::string> text) {
    if (text->size() <= kIncrPiece) {
      xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                          static_cast<std::uint32_t>(text->size()), text->data());
      return true;
    }
    if (transfers_.size() >= kMaxIncrTransfers) return false;
    // The requestor's deletions of the property ask for each next piece.
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c_.get(), requestor, XCB_CW_EVENT_MASK, &mask);
    const auto size = static_cast<std::uint32_t>(text->size());
    xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, requestor, property, incr_, 32, 1, &size);
    transfers_.push_back(
        Transfer{requestor, property, type, std::move(text), 0, Clock::now() + kIncrIdleTimeout});
    return true;
  }

  void next_piece(xcb_window_t window, xcb_atom_t property) {
    auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
      return t.requestor == window && t.property == property;
    });
    if (it == transfers_.end()) return;
    const std::size_t n = std::min(kIncrPiece, it->text->size() - it->offset);
    // The last piece is an empty one.
    xcb_change_property(c_.get(), XCB_PROP_MODE_REPLACE, window, property, it->type, 8,
                        static_cast<std::uint32_t>(n), it->text->data() + it->offset);
    if (n == 0) {
      transfers_.erase(it);
      stop_watching(window);
    } else {
      it->offset += n;
      it->deadline = Clock::now() + kIncrIdleTimeout;
    }
    xcb_flush(c_.get());
  }

  void expire_transfers() {
    const auto now = Clock::now();
    std::vector<xcb_window_t> gone;
    std::erase_if(transfers_, [&](const Transfer& t) {
      if (t.deadline > now) return false;
      gone.push_back(t.requestor);
      return true;
    });
    for (xcb_window_t w : gone) stop_watching(w);
  }

  void stop_watching(xcb_window_t window) {
    if (std::any_of(transfers_.begin(), transfers_.end(),
                    [&](const Transfer& t) { return t.requestor == window; })) {
      return;
    }
    const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
    xcb_change_window_attributes(c_.get(), window, XCB_CW_EVENT_MASK, &none);
  }

  XcbConnection c_;
  int wake_fd_;
  bool woken_ = false;  // a wake came while a read was waiting: the next wait returns at once
  xcb_window_t window_ = XCB_NONE;
  xcb_atom_t clipboard_ = XCB_NONE;
  xcb_atom_t utf8_string_ = XCB_NONE;
  xcb_atom_t text_ = XCB_NONE;
  xcb_atom_t targets_ = XCB_NONE;
  xcb_atom_t timestamp_ = XCB_NONE;
  xcb_atom_t incr_ = XCB_NONE;
  xcb_atom_t text_plain_utf8_ = XCB_NONE;
  xcb_atom_t text_plain_ = XCB_NONE;
  xcb_atom_t property_ = XCB_NONE;
  std::shared_ptr<const std::string> owned_;  // the text this side holds, while it does
  xcb_timestamp_t owned_since_ = XCB_CURRENT_TIME;
  std::vector<Transfer> transfers_;
};

XClipboard::XClipboard() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

XClipboard::~XClipboard() = default;

Result<XClipboard::Connection*> XClipboard::connection() {
  if (x_ != nullptr && x_->broken()) x_.reset();
  if (x_ == nullptr) {
    if (!wake_fd_.valid()) return fail("no wake-up descriptor for the clipboard");
    auto opened = Connection::open(wake_fd_.get());
    if (!opened) return opened.error();
    x_ = std::move(*opened);
  }
  return x_.get();
}

Result<std::string> XClipboard::read_text(std::stop_token stop) {
  std::lock_guard lock(mutex_);
  auto x = connection();
  if (!x) return x.error();
  return (*x)->read(stop);
}

Status XClipboard::write_text(const std::string& text, std::stop_token) {
  std::lock_guard lock(mutex_);
  auto x = connection();
  if (!x) return x.error();
  return (*x)->write(text);
}

void XClipboard::wait_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  auto x = connection();
  if (!x) {
    lock.unlock();
    ClipboardAccess::wait_until(deadline);
    return;
  }
  (*x)->wait(deadline);
}

void XClipboard::wake() {
  ClipboardAccess::wake();
  const std::uint64_t one = 1;
  if (wake_fd_.valid()) (void)!::write(wake_fd_.get(), &one, sizeof one);
}

}  // namespace nolv
