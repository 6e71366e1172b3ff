#include "client/auth_dialog.h"

#include <algorithm>

#include "client/font.h"
#include "client/paint.h"
#include "util/log.h"
#include "util/text.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::auth_dialog";

}  // namespace

std::string typed_text(const KeyboardInput& key) {
  std::string_view text;
  if (const auto* character = std::get_if<CharacterKey>(&key.logical_key)) {
    text = character->text;
  } else if (const auto* named = std::get_if<NamedKey>(&key.logical_key);
             named != nullptr && *named == NamedKey::Space) {
    text = " ";
  }
  std::string out;
  for (std::size_t offset = 0; offset < text.size();) {
    const CodePoint cp = next_code_point(text, offset);
    // Bytes that are not UTF-8 are no characters: the password stays valid text.
    if (cp.valid && !is_control_character(cp.value)) out.append(text.substr(offset, cp.length));
    offset += std::max<std::size_t>(cp.length, 1);
  }
  return out;
}

Result<std::unique_ptr<AuthDialog>> AuthDialog::create(const CreateWindow& create_window,
                                                       std::string prompt) {
  WindowAttributes attributes;
  attributes.title = std::string(kAuthDialogTitle);
  attributes.inner_size = PhysicalSize{kAuthDialogWidth, kAuthDialogHeight};
  attributes.resizable = false;
  auto window = create_window(attributes);
  if (!window) return fail("failed to create auth dialog window: {}", window.message());
  auto surface = (*window)->create_surface();
  if (!surface) return fail("failed to create auth dialog surface: {}", surface.message());
  if (auto sized = (*surface)->resize(kAuthDialogWidth, kAuthDialogHeight); !sized) {
    return fail("failed to size auth dialog surface: {}", sized.message());
  }
  std::unique_ptr<AuthDialog> dialog(new AuthDialog());
  dialog->pixels.assign(std::size_t{kAuthDialogWidth} * kAuthDialogHeight, kAuthBackground);
  dialog->prompt = std::move(prompt);
  dialog->window = std::move(*window);
  dialog->surface = std::move(*surface);
  dialog->redraw();
  return dialog;
}

AuthDialog::~AuthDialog() {
  wipe_secret(password);
}

void AuthDialog::redraw() {
  const PhysicalSize inner = window->inner_size();
  const std::uint32_t w = std::max(inner.width, 1u);
  const std::uint32_t h = std::max(inner.height, 1u);
  if (w != width || h != height) {
    // The new size is kept only once the surface has it, so a failed resize is tried again.
    if (auto sized = surface->resize(w, h); !sized) {
      log_error(kLog, "failed to size auth dialog surface: {}", sized.message());
      return;
    }
    width = w;
    height = h;
    pixels.assign(std::size_t{w} * h, kAuthBackground);
  }
  std::fill(pixels.begin(), pixels.end(), kAuthBackground);
  font::draw_text(pixels, w, 12, 16, 1, prompt, kAuthForeground);
  // Sides are at most 2^32 - 1: in 64 bits, then saturated, so a huge window cannot wrap.
  const auto box_w =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{w} - 24, 0, INT32_MAX));
  paint::stroke_rect(pixels, w, 12, 56, box_w, 26, kAuthForeground);
  const std::string stars(count_code_points(password), '*');
  font::draw_text(pixels, w, 20, 61, 1, stars, kAuthForeground);
  const auto footer_y = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(std::int64_t{h} - 26, INT32_MIN, INT32_MAX));
  font::draw_text(pixels, w, 12, footer_y, 1, kAuthFooter, kAuthFooterColour);

  auto buffer = surface->buffer();
  if (!buffer) {
    log_error(kLog, "failed to get auth dialog buffer: {}", buffer.message());
    return;
  }
  if (buffer->pixels.size() != pixels.size()) {
    log_error(kLog, "failed to get auth dialog buffer: {} pixels for a {}x{} dialog",
              buffer->pixels.size(), width, height);
    return;
  }
  std::copy(pixels.begin(), pixels.end(), buffer->pixels.begin());
  if (auto presented = surface->present(); !presented) {
    log_error(kLog, "failed to present auth dialog: {}", presented.message());
  }
}

AuthDialog::Outcome AuthDialog::apply_event(const WindowEvent& event) {
  if (std::holds_alternative<CloseRequested>(event)) return Outcome::Cancel;
  if (std::holds_alternative<RedrawRequested>(event)) {
    redraw();
    return Outcome::Redrawn;
  }
  const auto* key = std::get_if<KeyboardInput>(&event);
  if (key == nullptr || key->synthetic || !key->pressed) return Outcome::Ignored;
  if (const auto* named = std::get_if<NamedKey>(&key->logical_key)) {
    if (*named == NamedKey::Enter) return Outcome::Submit;
    if (*named == NamedKey::Escape) return Outcome::Cancel;
    if (*named == NamedKey::Backspace) {
      remove_last_code_point(password);
      redraw();
      return Outcome::Redrawn;
    }
  }
  password += typed_text(*key);
  redraw();
  return Outcome::Redrawn;
}

}  // namespace nolv
