// The self-drawn password dialog: the prompt, a box with one star per typed character and a
// help footer; Enter answers the challenge, Escape or closing the window cancels.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window.h"
#include "util/result.h"

namespace nolv {

inline constexpr std::string_view kAuthDialogTitle = "Nolv Authentication";
inline constexpr std::uint32_t kAuthDialogWidth = 460;
inline constexpr std::uint32_t kAuthDialogHeight = 150;
inline constexpr std::uint32_t kAuthBackground = 0x202020;
inline constexpr std::uint32_t kAuthForeground = 0xE0E0E0;
inline constexpr std::uint32_t kAuthFooterColour = 0x909090;
inline constexpr std::string_view kAuthFooter = "Enter = OK     Esc = cancel";

class AuthDialog {
 public:
  using CreateWindow =
      std::function<Result<std::shared_ptr<Window>>(const WindowAttributes& attributes)>;

  // Creates the window and its surface, sizes it and draws the first frame; a failure carries
  // the reason ("failed to create auth dialog window: ...").
  static Result<std::unique_ptr<AuthDialog>> create(const CreateWindow& create_window,
                                                    std::string prompt);
  AuthDialog(const AuthDialog&) = delete;
  AuthDialog& operator=(const AuthDialog&) = delete;
  // Overwrites the typed password before its memory is released.
  ~AuthDialog();

  // Draws and presents one frame at the window's current inner size.
  void redraw();

  enum class Outcome : std::uint8_t { Ignored, Redrawn, Submit, Cancel };
  // The dialog's own share of an event: edits the password and redraws; Submit and Cancel are
  // for the caller to carry out.
  Outcome apply_event(const WindowEvent& event);

  std::vector<std::uint32_t> pixels;
  std::string prompt;
  std::string password;
  std::shared_ptr<Window> window;
  std::unique_ptr<Surface> surface;
  std::uint32_t width = kAuthDialogWidth;
  std::uint32_t height = kAuthDialogHeight;

 private:
  AuthDialog() = default;
};

// The characters a key press adds to the password: its text without the C0 and C1 controls and
// DEL (so Tab, Enter and Escape add nothing); Space gives a space.
std::string typed_text(const KeyboardInput& key);

}  // namespace nolv
