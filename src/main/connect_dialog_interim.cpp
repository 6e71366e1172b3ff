// Interim definitions for the connection dialog, whose slice has not landed yet: the dialog's
// window cannot be created, which ends the program with 14 as that failure does.
#include "main/app_state.h"

namespace nolv {

void AppState::open_connect_dialog(ActiveEventLoop& loop) {
  connect_dialog_open = false;
  log_error("nolv::client::connect_dialog", "cannot create the connection dialog window: {}",
            "no connection dialog in this build");
  request_exit(loop, kExitEventLoop);
}

void AppState::handle_connect_result(ActiveEventLoop&) {}

}  // namespace nolv
