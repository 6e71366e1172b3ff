#include "client/connect_dialog.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "client/font.h"
#include "client/paint.h"
#include "net/connect.h"
#include "util/log.h"
#include "util/saturating.h"
#include "util/text.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::connect_dialog";

constexpr std::uint32_t kBackground = 0x202020;
constexpr std::uint32_t kText = 0xE0E0E0;
constexpr std::uint32_t kDim = 0x909090;
constexpr std::uint32_t kError = 0xFF6B6B;
constexpr std::uint32_t kFieldFill = 0x181818;
constexpr std::uint32_t kButtonFill = 0x2E2E2E;
constexpr std::uint32_t kFocus = 0x599EFF;
constexpr std::uint32_t kBorder = 0x505050;

// Typed text is bounded so a held key cannot grow a field without end.
constexpr std::size_t kMaxPortChars = 5;
constexpr std::size_t kMaxFieldChars = 128;

// Far above any desktop scale; keeps the cast from a huge or infinite factor defined.
constexpr std::uint32_t kMaxFontScale = 64;

constexpr DialogFocus kTabOrder[] = {
    DialogFocus::Protocol, DialogFocus::Host,   DialogFocus::Port,   DialogFocus::Username,
    DialogFocus::Password, DialogFocus::Cancel, DialogFocus::Connect};

// The last n code points of the text.
std::string_view last_code_points(std::string_view text, std::size_t n) {
  std::size_t total = count_code_points(text);
  std::size_t i = 0;
  while (total > n && i < text.size()) {
    i += next_code_point(text, i).length;
    --total;
  }
  return text.substr(i);
}

bool host_has_invalid_characters(std::string_view host) {
  for (std::size_t i = 0; i < host.size();) {
    const CodePoint c = next_code_point(host, i);
    i += c.length;
    if (c.value == '/' || c.value == '@' || (c.valid && is_white_space(c.value))) return true;
  }
  return false;
}

bool is_space_key(const LogicalKey& key) {
  if (const auto* named = std::get_if<NamedKey>(&key)) return *named == NamedKey::Space;
  if (const auto* ch = std::get_if<CharacterKey>(&key)) return ch->text == " ";
  return false;
}

}  // namespace

std::string truncate_with_ellipsis(std::string_view text, std::size_t n) {
  if (count_code_points(text) <= n) return std::string(text);
  if (n <= 3) return "...";
  std::string out;
  std::size_t i = 0;
  for (std::size_t k = 0; k < n - 3 && i < text.size(); ++k) i += next_code_point(text, i).length;
  out.assign(text.substr(0, i));
  return out + "...";
}

std::optional<std::string> non_empty_trimmed(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (trimmed.empty()) return std::nullopt;
  return std::string(trimmed);
}

// ---- the dialog -------------------------------------------------------------------------------

WindowAttributes ConnectDialog::window_attributes(double scale) {
  WindowAttributes attrs;
  attrs.title = std::string(kConnectDialogTitle);
  const double s = std::max(scale, 0.1);
  attrs.inner_size =
      PhysicalSize{static_cast<std::uint32_t>(std::max(
                       saturate_round<std::int32_t>(kConnectDialogLogicalSize.width * s), 1)),
                   static_cast<std::uint32_t>(std::max(
                       saturate_round<std::int32_t>(kConnectDialogLogicalSize.height * s), 1))};
  attrs.resizable = false;
  return attrs;
}

Result<std::unique_ptr<ConnectDialog>> ConnectDialog::create(std::shared_ptr<Window> window,
                                                             double scale) {
  auto surface = window->create_surface();
  if (!surface)
    return fail("failed to create the connection dialog surface: {}", surface.message());
  const PhysicalSize size = window->inner_size();
  if (auto sized = (*surface)->resize(std::max(size.width, 1u), std::max(size.height, 1u));
      !sized) {
    return fail("failed to size the connection dialog surface: {}", sized.message());
  }
  return std::make_unique<ConnectDialog>(std::move(window), std::move(*surface), scale);
}

ConnectDialog::ConnectDialog(std::shared_ptr<Window> window, std::unique_ptr<Surface> surface,
                             double scale)
    : window_(std::move(window)), surface_(std::move(surface)), scale_(scale) {
  const PhysicalSize size = window_->inner_size();
  width_ = std::max(size.width, 1u);
  height_ = std::max(size.height, 1u);
  pixels_.assign(std::size_t{width_} * height_, kBackground);
}

ConnectDialog::~ConnectDialog() {
  wipe_secret(password_);
}

std::int32_t ConnectDialog::r(double k) const {
  return saturate_round<std::int32_t>(k * std::max(scale_, 0.1));
}

// The font only comes in whole multiples; rounding up (2 at 1.5) would make every text wider
// than the layout drawn around it, so the largest whole scale not above the layout's is used.
std::uint32_t ConnectDialog::font_scale() const {
  const double whole = std::floor(scale_);
  if (!(whole >= 1)) return 1;  // NaN too
  if (whole >= kMaxFontScale) return kMaxFontScale;
  return static_cast<std::uint32_t>(whole);
}

DialogRect ConnectDialog::field_rect(int row) const {
  const std::int32_t x = r(96);
  const std::int32_t w = std::max(static_cast<std::int32_t>(width_) - x - r(16), r(60));
  return {x, r(32.0 * row + 44), w, r(24)};
}

DialogRect ConnectDialog::button_rect(int button) const {
  const std::int32_t bw = r(80), bh = r(26), m = r(16);
  const std::int32_t connect_x = static_cast<std::int32_t>(width_) - m - bw;
  const std::int32_t x = button == 1 ? connect_x : connect_x - bw - r(12);
  return {x, static_cast<std::int32_t>(height_) - m - bh, bw, bh};
}

DialogRect ConnectDialog::protocol_item_rect(int item) const {
  const DialogRect row = field_rect(0);
  return {row.x, row.y + row.height + item * r(22), row.width, r(22)};
}

std::string* ConnectDialog::focused_text() {
  switch (focus_) {
    case DialogFocus::Host:
      return &host;
    case DialogFocus::Port:
      return &port;
    case DialogFocus::Username:
      return &username;
    case DialogFocus::Password:
      return &password_;
    default:
      return nullptr;
  }
}

void ConnectDialog::set_protocol(std::size_t index) {
  if (index == protocol_ || index >= CONNECT_PROTOCOLS.size()) return;
  protocol_ = index;
  port = std::to_string(CONNECT_PROTOCOLS[index].default_port);
}

void ConnectDialog::move_focus(int direction) {
  const auto* found = std::find(std::begin(kTabOrder), std::end(kTabOrder), focus_);
  const int position = found == std::end(kTabOrder) ? 0 : static_cast<int>(found - kTabOrder);
  const int count = static_cast<int>(std::size(kTabOrder));
  focus_ = kTabOrder[((position + direction) % count + count) % count];
}

void ConnectDialog::step(int direction) {
  if (focus_ != DialogFocus::Protocol && !protocol_list_open_) {
    move_focus(direction);
    return;
  }
  const int count = static_cast<int>(CONNECT_PROTOCOLS.size());
  set_protocol(static_cast<std::size_t>(
      ((static_cast<int>(protocol_) + direction) % count + count) % count));
}

void ConnectDialog::set_error(std::string message) {
  status_ = StatusError{std::move(message)};
  redraw();
}

void ConnectDialog::set_connecting(std::string url) {
  status_ = StatusConnecting{std::move(url)};
  redraw();
}

std::optional<ConnectRequest> ConnectDialog::submit() {
  const std::string_view trimmed_host = trim_white_space(host);
  if (trimmed_host.empty()) {
    status_ = StatusError{"please enter a hostname or IP address"};
    focus_ = DialogFocus::Host;
    return std::nullopt;
  }
  if (host_has_invalid_characters(trimmed_host)) {
    status_ = StatusError{"the hostname contains invalid characters"};
    focus_ = DialogFocus::Host;
    return std::nullopt;
  }
  const auto port_number = parse_port(trim_white_space(port), true);
  if (!port_number || *port_number == 0) {
    status_ = StatusError{"the port must be a number between 1 and 65535"};
    focus_ = DialogFocus::Port;
    return std::nullopt;
  }
  ConnectRequest request;
  request.username = non_empty_trimmed(username);
  request.password = non_empty_trimmed(password_);
  status_ = StatusNone{};
  const std::string host_part =
      trimmed_host.find(':') != std::string_view::npos && !trimmed_host.starts_with('[')
          ? fmt::format("[{}]", trimmed_host)
          : std::string(trimmed_host);
  const std::string_view scheme = CONNECT_PROTOCOLS[protocol_].name;
  request.target =
      scheme == "ssh" && request.username
          ? fmt::format("{}://{}@{}:{}/", scheme, *request.username, host_part, *port_number)
          : fmt::format("{}://{}:{}/", scheme, host_part, *port_number);
  return request;
}

// ---- drawing ----------------------------------------------------------------------------------

void ConnectDialog::draw_text(std::int32_t x, std::int32_t y, std::string_view text,
                              std::uint32_t colour) {
  font::draw_text(pixels_, width_, x, y, font_scale(), text, colour);
}

void ConnectDialog::draw_field(int row, std::string_view label, DialogFocus focus,
                               std::string_view text, std::string_view placeholder) {
  const DialogRect rect = field_rect(row);
  const std::int32_t si = static_cast<std::int32_t>(font_scale());
  const std::int32_t text_y = rect.y + (rect.height - 16 * si) / 2;
  draw_text(r(16), text_y, label, kText);
  paint::fill_rect(pixels_, width_, rect.x, rect.y, rect.width, rect.height, kFieldFill);
  paint::stroke_rect(pixels_, width_, rect.x, rect.y, rect.width, rect.height,
                     focus_ == focus ? kFocus : kBorder);
  const std::int32_t text_x = rect.x + r(6);
  const auto room = static_cast<std::size_t>(std::max((rect.width - 2 * r(6)) / (8 * si), 1));
  std::string_view shown;
  if (!text.empty()) {
    shown = last_code_points(text, room);
    draw_text(text_x, text_y, shown, kText);
  } else {
    draw_text(text_x, text_y, truncate_with_ellipsis(placeholder, room), kDim);
  }
  if (focus_ == focus && focus != DialogFocus::Protocol) {
    const std::int32_t cells = static_cast<std::int32_t>(shown.size());
    const std::int32_t caret_x = std::min(text_x + 8 * si * cells, rect.x + rect.width - r(3));
    paint::fill_rect(pixels_, width_, caret_x, text_y, std::max(r(2), 1), 16 * si, kText);
  }
}

void ConnectDialog::draw_button(int button, std::string_view label, DialogFocus focus) {
  const DialogRect rect = button_rect(button);
  const std::int32_t si = static_cast<std::int32_t>(font_scale());
  paint::fill_rect(pixels_, width_, rect.x, rect.y, rect.width, rect.height, kButtonFill);
  paint::stroke_rect(pixels_, width_, rect.x, rect.y, rect.width, rect.height,
                     focus_ == focus ? kFocus : kBorder);
  const std::int32_t chars = static_cast<std::int32_t>(label.size());
  draw_text(rect.x + (rect.width - 8 * si * chars) / 2, rect.y + (rect.height - 16 * si) / 2, label,
            kText);
}

void ConnectDialog::draw_arrow(const DialogRect& row) {
  const std::int32_t v = std::max(r(9), 3);
  const std::int32_t e = v - v % 2;
  const std::uint32_t colour = protocol_list_open_ ? kFocus : kText;
  std::int32_t x = row.x + row.width - r(6) - e;
  std::int32_t y = row.y + (row.height - v / 2) / 2;
  for (std::int32_t run = e + 1; run >= 3; run -= 2, ++x, ++y) {
    paint::fill_rect(pixels_, width_, x, y, run, 1, colour);
  }
}

void ConnectDialog::redraw() {
  const PhysicalSize size = window_->inner_size();
  const std::uint32_t w = std::max(size.width, 1u), h = std::max(size.height, 1u);
  if (w != width_ || h != height_) {
    // The new size is kept only once the surface has it, so a failed resize is tried again.
    if (auto sized = surface_->resize(w, h); !sized) {
      log_error(kLog, "failed to size the connection dialog surface: {}", sized.message());
      return;
    }
    width_ = w;
    height_ = h;
    pixels_.assign(std::size_t{w} * h, kBackground);
  }
  std::fill(pixels_.begin(), pixels_.end(), kBackground);
  const std::int32_t si = static_cast<std::int32_t>(font_scale());

  draw_text(r(16), r(14), kConnectDialogTitle, kText);
  draw_field(0, "Protocol", DialogFocus::Protocol, CONNECT_PROTOCOLS[protocol_].name, "");
  draw_arrow(field_rect(0));
  draw_field(1, "Host", DialogFocus::Host, host, "hostname or IP address");
  draw_field(2, "Port", DialogFocus::Port, port, "");
  draw_field(3, "Username", DialogFocus::Username, username, "optional");
  draw_field(4, "Password", DialogFocus::Password, std::string(count_code_points(password_), '*'),
             "optional");

  const DialogRect connect = button_rect(1);
  std::string status_text;
  std::uint32_t status_colour = kDim;
  if (const auto* error = std::get_if<StatusError>(&status_)) {
    status_text = error->message;
    status_colour = kError;
  } else if (const auto* connecting = std::get_if<StatusConnecting>(&status_)) {
    status_text = fmt::format("connecting to {} ...", connecting->url);
  }
  if (!std::holds_alternative<StatusNone>(status_)) {
    const auto room = static_cast<std::size_t>(
        std::max((static_cast<std::int32_t>(width_) - 2 * r(16)) / (8 * si), 4));
    draw_text(r(16), connect.y - r(6) - 16 * si, truncate_with_ellipsis(status_text, room),
              status_colour);
  }

  draw_button(0, "Cancel", DialogFocus::Cancel);
  draw_button(1, "Connect", DialogFocus::Connect);
  draw_text(r(16), connect.y + (connect.height - 16 * si) / 2, "Enter=connect  Esc=cancel", kDim);

  if (protocol_list_open_) {
    for (int i = 0; i < static_cast<int>(CONNECT_PROTOCOLS.size()); ++i) {
      const DialogRect item = protocol_item_rect(i);
      const bool current = static_cast<std::size_t>(i) == protocol_;
      paint::fill_rect(pixels_, width_, item.x, item.y, item.width, item.height,
                       current ? kFocus : kFieldFill);
      paint::stroke_rect(pixels_, width_, item.x, item.y, item.width, item.height, kBorder);
      const std::string label = fmt::format("{:4}  (port {})", CONNECT_PROTOCOLS[i].name,
                                            CONNECT_PROTOCOLS[i].default_port);
      draw_text(item.x + r(6), item.y + (item.height - 16 * si) / 2, label,
                current ? kBackground : kText);
    }
  }

  auto buffer = surface_->buffer();
  if (!buffer) {
    log_error(kLog, "failed to get the connection dialog buffer: {}", buffer.message());
    return;
  }
  if (buffer->pixels.size() != pixels_.size()) {
    log_error(kLog, "failed to get the connection dialog buffer: {} pixels for a {}x{} dialog",
              buffer->pixels.size(), width_, height_);
    return;
  }
  std::copy(pixels_.begin(), pixels_.end(), buffer->pixels.begin());
  if (auto shown = surface_->present(); !shown) {
    log_error(kLog, "failed to present the connection dialog: {}", shown.message());
  }
}

// ---- events -----------------------------------------------------------------------------------

void ConnectDialog::type_text(std::string_view text) {
  std::string* field = focused_text();
  if (field == nullptr) return;
  const bool is_port = focus_ == DialogFocus::Port;
  const std::size_t limit = is_port ? kMaxPortChars : kMaxFieldChars;
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint c = next_code_point(text, i);
    i += c.length;
    if (!c.valid || is_control_character(c.value)) continue;
    if (is_port && (c.value < '0' || c.value > '9')) continue;
    if (count_code_points(*field) >= limit) continue;
    append_utf8(*field, c.value);
  }
}

DialogOutcome ConnectDialog::handle_click() {
  const bool connecting = std::holds_alternative<StatusConnecting>(status_);
  if (connecting) {
    if (!button_rect(0).contains(pointer_x_, pointer_y_)) return DialogKeepGoing{};
    return DialogCancel{};
  }
  DialogOutcome outcome = DialogKeepGoing{};
  if (protocol_list_open_) {
    for (int i = 0; i < static_cast<int>(CONNECT_PROTOCOLS.size()); ++i) {
      if (protocol_item_rect(i).contains(pointer_x_, pointer_y_)) {
        set_protocol(static_cast<std::size_t>(i));
      }
    }
    protocol_list_open_ = false;
  } else if (field_rect(0).contains(pointer_x_, pointer_y_)) {
    focus_ = DialogFocus::Protocol;
    protocol_list_open_ = true;
  } else if (button_rect(0).contains(pointer_x_, pointer_y_)) {
    return DialogCancel{};
  } else if (button_rect(1).contains(pointer_x_, pointer_y_)) {
    focus_ = DialogFocus::Connect;
    if (auto request = submit()) outcome = DialogSubmit{std::move(*request)};
  } else {
    for (int row = 1; row <= 4; ++row) {
      if (field_rect(row).contains(pointer_x_, pointer_y_)) focus_ = static_cast<DialogFocus>(row);
    }
  }
  redraw();
  return outcome;
}

DialogOutcome ConnectDialog::handle_key(const KeyboardInput& key) {
  const auto* named = std::get_if<NamedKey>(&key.logical_key);
  const bool connecting = std::holds_alternative<StatusConnecting>(status_);
  if (connecting && !(named != nullptr && *named == NamedKey::Escape)) return DialogKeepGoing{};

  DialogOutcome outcome = DialogKeepGoing{};
  auto submit_now = [&] {
    if (auto request = submit()) outcome = DialogSubmit{std::move(*request)};
  };
  if (is_space_key(key.logical_key)) {
    switch (focus_) {
      case DialogFocus::Protocol:
        protocol_list_open_ = !protocol_list_open_;
        break;
      case DialogFocus::Cancel:
        return DialogCancel{};
      case DialogFocus::Connect:
        submit_now();
        break;
      default:
        status_ = StatusNone{}, type_text(" ");
    }
  } else if (named != nullptr) {
    switch (*named) {
      case NamedKey::Enter:
        if (protocol_list_open_) {
          protocol_list_open_ = false;
        } else if (focus_ == DialogFocus::Cancel) {
          return DialogCancel{};
        } else {
          submit_now();
        }
        break;
      case NamedKey::Escape:
        if (!protocol_list_open_) return DialogCancel{};
        protocol_list_open_ = false;
        break;
      case NamedKey::Tab:
        protocol_list_open_ = false;
        move_focus(shift_down_ ? -1 : 1);
        break;
      case NamedKey::ArrowDown:
        step(1);
        break;
      case NamedKey::ArrowUp:
        step(-1);
        break;
      case NamedKey::Backspace:
        status_ = StatusNone{};
        if (std::string* field = focused_text()) remove_last_code_point(*field);
        break;
      default:
        return DialogKeepGoing{};  // arrows left/right, Home, End, ...: nothing
    }
  } else if (const auto* ch = std::get_if<CharacterKey>(&key.logical_key)) {
    status_ = StatusNone{};
    type_text(ch->text);
  } else {
    return DialogKeepGoing{};
  }
  redraw();
  return outcome;
}

DialogOutcome ConnectDialog::handle_event(const WindowEvent& event) {
  if (std::holds_alternative<CloseRequested>(event)) return DialogCancel{};
  if (const auto* scale = std::get_if<ScaleFactorChanged>(&event)) {
    scale_ = scale->scale_factor;
    log_debug(kLog, "connection dialog scale factor: {}", scale_);
    // The layout is in logical pixels: the window follows the new scale, then is drawn again.
    if (auto size = window_attributes(scale_).inner_size) window_->request_inner_size(*size);
    redraw();
  } else if (std::holds_alternative<Resized>(event) ||
             std::holds_alternative<RedrawRequested>(event)) {
    redraw();
  } else if (const auto* mods = std::get_if<ModifiersChanged>(&event)) {
    shift_down_ = (mods->state & kModifierShift) != 0;
  } else if (const auto* moved = std::get_if<CursorMoved>(&event)) {
    pointer_x_ = saturate_cast<std::int32_t>(moved->x);
    pointer_y_ = saturate_cast<std::int32_t>(moved->y);
  } else if (const auto* button = std::get_if<MouseInput>(&event)) {
    if (button->pressed && button->button.kind == MouseButtonKind::Left) return handle_click();
  } else if (const auto* key = std::get_if<KeyboardInput>(&event)) {
    if (key->pressed) return handle_key(*key);
  }
  return DialogKeepGoing{};
}

}  // namespace nolv
