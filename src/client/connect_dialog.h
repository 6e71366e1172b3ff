// The self-drawn connection dialog shown when nolv starts without a target: protocol, host,
// port, user name and password, validated into a target URL.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/window.h"
#include "util/result.h"

namespace nolv {

struct ConnectProtocol {
  std::string_view name;
  std::uint16_t default_port;
};
inline constexpr std::array<ConnectProtocol, 5> CONNECT_PROTOCOLS = {{
    {"tcp", 10000},
    {"ssl", 10000},
    {"ws", 10000},
    {"wss", 10000},
    {"ssh", 22},
}};

// Also the Tab order.
enum class DialogFocus : std::uint8_t {
  Protocol = 0,
  Host = 1,
  Port = 2,
  Username = 3,
  Password = 4,
  Cancel = 5,
  Connect = 6,
};

struct StatusNone {};
struct StatusError {
  std::string message;
};
struct StatusConnecting {
  std::string url;
};
using ConnectStatus = std::variant<StatusNone, StatusError, StatusConnecting>;

struct ConnectRequest {
  std::string target;
  std::optional<std::string> username;
  std::optional<std::string> password;
};

// What the event loop must do after the dialog handled an event.
struct DialogKeepGoing {};
struct DialogCancel {};
struct DialogSubmit {
  ConnectRequest request;
};
using DialogOutcome = std::variant<DialogKeepGoing, DialogCancel, DialogSubmit>;

// A layout rectangle in physical pixels (may lie partly outside the frame).
struct DialogRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool contains(std::int32_t px, std::int32_t py) const {
    return x <= px && px < x + width && y <= py && py < y + height;
  }
  friend bool operator==(const DialogRect&, const DialogRect&) = default;
};

inline constexpr std::string_view kConnectDialogTitle = "Connect to an Nolv server";
inline constexpr PhysicalSize kConnectDialogLogicalSize{420, 270};

std::string truncate_with_ellipsis(std::string_view text, std::size_t n);
std::optional<std::string> non_empty_trimmed(std::string_view text);

class ConnectDialog {
 public:
  // The attributes of the dialog's window at this scale factor.
  static WindowAttributes window_attributes(double scale);
  // Creates and sizes the pixel surface of an open window; the errors are the dialog's own
  // "failed to create/size the connection dialog surface: ..." lines.
  static Result<std::unique_ptr<ConnectDialog>> create(std::shared_ptr<Window> window,
                                                       double scale);
  // For tests: a dialog over a given surface.
  ConnectDialog(std::shared_ptr<Window> window, std::unique_ptr<Surface> surface, double scale);
  ConnectDialog(const ConnectDialog&) = delete;
  ConnectDialog& operator=(const ConnectDialog&) = delete;
  // Overwrites the typed password before its memory is released.
  ~ConnectDialog();

  WindowId window_id() const { return window_->id(); }

  DialogOutcome handle_event(const WindowEvent& event);
  void redraw();
  std::optional<ConnectRequest> submit();
  void set_error(std::string message);
  void set_connecting(std::string url);
  void set_protocol(std::size_t index);
  void step(int direction);
  void move_focus(int direction);
  std::string* focused_text();

  DialogRect field_rect(int row) const;
  DialogRect button_rect(int button) const;  // 0 Cancel, 1 Connect
  DialogRect protocol_item_rect(int item) const;

  // Read-only views for tests.
  const ConnectStatus& status() const { return status_; }
  DialogFocus focus() const { return focus_; }
  bool protocol_list_open() const { return protocol_list_open_; }
  std::size_t protocol() const { return protocol_; }
  const std::vector<std::uint32_t>& pixels() const { return pixels_; }
  std::string host, port = "10000", username;

 private:
  // Typed into the dialog; wiped with it.
  std::string password_;
  std::int32_t r(double k) const;
  std::uint32_t font_scale() const;
  void draw_text(std::int32_t x, std::int32_t y, std::string_view text, std::uint32_t colour);
  void draw_field(int row, std::string_view label, DialogFocus focus, std::string_view text,
                  std::string_view placeholder);
  void draw_button(int button, std::string_view label, DialogFocus focus);
  void draw_arrow(const DialogRect& row);
  DialogOutcome handle_click();
  DialogOutcome handle_key(const KeyboardInput& key);
  void type_text(std::string_view text);

  std::shared_ptr<Window> window_;
  std::unique_ptr<Surface> surface_;
  ConnectStatus status_ = StatusNone{};
  std::vector<std::uint32_t> pixels_;
  double scale_ = 1.0;
  std::size_t protocol_ = 0;
  std::int32_t pointer_x_ = -1, pointer_y_ = -1;
  std::uint32_t width_ = 0, height_ = 0;
  bool protocol_list_open_ = false;
  bool shift_down_ = false;
  DialogFocus focus_ = DialogFocus::Host;
};

}  // namespace nolv
