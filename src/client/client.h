// The state of one connected session, owned by the event-loop handler and touched only on the
// event-loop thread.
//
// Other slices add their fields and member declarations in their own block below, and define
// their members in their own .cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "client/audio.h"
#include "client/bands.h"
#include "client/bell.h"
#include "client/challenge.h"
#include "client/clipboard.h"
#include "client/cursor.h"
#include "client/draw_decoder.h"
#include "client/internal_event.h"
#include "client/keyboard.h"
#include "client/remote_logging.h"
#include "client/tray.h"
#include "client/window.h"
#include "net/backlog.h"
#include "net/connect.h"
#include "net/packet.h"
#include "net/writer.h"
#include "platform/event_loop.h"
#include "util/exit_code.h"
#include "util/result.h"
#include "util/thread_checker.h"

namespace nolv {

// One local monitor as the session reports it, in server units.
struct MonitorInfo {
  std::string name;
  std::optional<std::uint32_t> refresh_rate;  // millihertz
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 1;
  std::uint32_t height = 1;
  bool primary = false;
  friend bool operator==(const MonitorInfo&, const MonitorInfo&) = default;
};

// The picture codings this client decodes, in the order the hello lists them.
const std::vector<std::string>& supported_encodings();

// The body of the "reader" thread, given its own handle on the connection.
using ReaderBody = std::function<void(Transport transport, EventLoopProxy proxy,
                                      std::shared_ptr<Backlog> backlog)>;

// The services of the system a session uses, made once by the program's entry and kept by the
// event-loop handler's state for every session it builds.
struct SessionServices {
  // The system keyboard layout, asked for when the Client is built.
  std::function<std::optional<std::string>()> system_keyboard_layout;
  // The audio worker body; none starts no worker at all (unit tests).
  AudioWorkerBody audio_worker_body;
  // None starts no reader (unit tests drive the dispatcher themselves).
  ReaderBody reader_body;
  // The system bell; none rings nothing.
  std::shared_ptr<Bell> bell;
  // The system tray; none leaves the session without a tray icon.
  std::shared_ptr<TrayPlatform> tray_platform;
  // The local clipboard; none makes every clipboard read and write fail.
  std::shared_ptr<ClipboardAccess> clipboard_access;
};

// What `Client::create` takes from the event-loop handler's state.
struct ClientContext {
  EventLoopProxy proxy;
  DecodeSender decode_sender;
  std::shared_ptr<LogForwardSlot> log_forwarding;
  SessionServices services;
};

// What the writer thread shares with the session for its failure: whether "startup-complete"
// has arrived, and the exit code it stores at a failed write (1, or 18 before it), first wins.
struct WriteFailureSlot {
  std::atomic<bool> startup_complete{false};
  ExitCodeSlot exit_code;
};

class Client {
 public:
  // Never fails; blocks up to 5 s for the audio probe.
  static std::unique_ptr<Client> create(ClientContext context, Transport transport,
                                        std::string target, std::optional<std::string> username,
                                        std::optional<std::string> password);
  Client(std::unique_ptr<PacketWriter> writer_in, std::shared_ptr<Backlog> backlog_in)
      : writer(std::move(writer_in)), backlog(std::move(backlog_in)) {}
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

  // ---- session core: start-up, writer, exit ----
  // Run on every Resumed; starts the reader and sends the first hello only once.
  void startup(ActiveEventLoop& loop);
  // Queues one packet for the writer thread; dropped silently once an exit code is stored.
  void send_packet(Value packet);
  // Stores `code` unless one is stored already, and asks the loop to exit.
  void exit_with(ActiveEventLoop& loop, ExitCode code);
  // Stores `code` unless one is stored already; also the code of a forced end.
  void store_exit_code(ExitCode code);
  // Takes over the code the writer thread stored at a failed write, unless one is stored here.
  void take_write_failure();
  void send_connection_close(ActiveEventLoop& loop, std::string reason);
  void send_hello(const std::optional<ChallengeAnswer>& answer);
  void dispatch_packet(ActiveEventLoop& loop, std::string_view name, Packet packet);
  // Milliseconds since `started_at`, as sent in "ping" and "logging-event".
  std::uint64_t millis_since_start() const;

  // ---- session core: handlers of the routing table ----
  void handle_server_hello(ActiveEventLoop& loop, Packet& packet);
  void handle_encodings(ActiveEventLoop& loop, Packet& packet);
  void handle_startup_complete(ActiveEventLoop& loop, Packet& packet);
  void handle_setting_change(ActiveEventLoop& loop, Packet& packet);
  void handle_server_event(ActiveEventLoop& loop, Packet& packet);
  void handle_ping(ActiveEventLoop& loop, Packet& packet);
  void handle_send_ping(ActiveEventLoop& loop, Packet& packet);
  void handle_send_log(ActiveEventLoop& loop, Packet& packet);
  void handle_ping_echo(ActiveEventLoop& loop, Packet& packet);
  void handle_challenge(ActiveEventLoop& loop, Packet& packet);
  void handle_challenge_password(ActiveEventLoop& loop, Packet& packet);
  void handle_challenge_cancel(ActiveEventLoop& loop, Packet& packet);
  void handle_challenge_fallback_dialog(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_pending_requests(ActiveEventLoop& loop, Packet& packet);
  void handle_tray_exit(ActiveEventLoop& loop, Packet& packet);
  void handle_interrupt(ActiveEventLoop& loop, Packet& packet);
  void handle_disconnect(ActiveEventLoop& loop, Packet& packet);
  void handle_connection_lost(ActiveEventLoop& loop, Packet& packet);
  void handle_invalid_packet(ActiveEventLoop& loop, Packet& packet);

  // ---- handlers of other slices ----
  // audio
  void handle_audio_capabilities(ActiveEventLoop& loop, Packet& packet);
  void handle_audio_data(ActiveEventLoop& loop, Packet& packet);
  void handle_audio_latency(ActiveEventLoop& loop, Packet& packet);
  void handle_audio_worker_failed(ActiveEventLoop& loop, Packet& packet);
  // The audio step of the server hello; run only with an audio worker.
  void on_server_hello_audio(const Yaml& caps);
  // windows
  void handle_new_window(ActiveEventLoop& loop, Packet& packet);
  void handle_new_override_redirect(ActiveEventLoop& loop, Packet& packet);
  void handle_window_move_resize(ActiveEventLoop& loop, Packet& packet);
  void handle_window_resized(ActiveEventLoop& loop, Packet& packet);
  void handle_initiate_moveresize(ActiveEventLoop& loop, Packet& packet);
  void handle_raise_window(ActiveEventLoop& loop, Packet& packet);
  void handle_show_desktop(ActiveEventLoop& loop, Packet& packet);
  void handle_pointer_position(ActiveEventLoop& loop, Packet& packet);
  void handle_pointer_grab(ActiveEventLoop& loop, Packet& packet);
  void handle_pointer_ungrab(ActiveEventLoop& loop, Packet& packet);
  void handle_lost_window(ActiveEventLoop& loop, Packet& packet);
  void handle_window_metadata(ActiveEventLoop& loop, Packet& packet);
  // Shown while a server window or the password dialog is open.
  void update_dock_icon() { tray.update_dock_icon(challenge.has_dialog() || !windows.empty()); }
  // A window event for a native window: the password dialog's, a server window's, or unknown.
  void route_window_event(ActiveEventLoop& loop, WindowId window, WindowEvent& event);
  // keyboard, cursors, icons, bell
  void handle_bell(ActiveEventLoop&, Packet& packet) { bells.handle_bell(packet); }
  void handle_cursor_data(ActiveEventLoop&, Packet& packet) {
    cursors_and_icons.handle_cursor_data(packet);
  }
  void handle_cursor_default(ActiveEventLoop&, Packet&) {
    cursors_and_icons.handle_cursor_default();
  }
  void handle_window_icon(ActiveEventLoop&, Packet& packet) {
    cursors_and_icons.handle_window_icon(packet);
  }
  // pictures
  void handle_draw_decoded(ActiveEventLoop& loop, Packet& packet);
  void handle_draw_failed(ActiveEventLoop& loop, Packet& packet);
  // tray, notifications, clipboard
  Status create_tray_icon() { return tray.create_icon(target); }
  void handle_notify_show(ActiveEventLoop&, Packet& packet) { tray.show_notification(packet); }
  void handle_notify_close(ActiveEventLoop&, Packet& packet) { tray.close_notification(packet); }
  // Starts the clipboard thread when the server's hello holds a "clipboard" map (once).
  void start_clipboard_sync();
  void handle_set_clipboard_enabled(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_token(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_data(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_request(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_contents(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_contents_none(ActiveEventLoop& loop, Packet& packet);
  void handle_clipboard_changed(ActiveEventLoop& loop, Packet& packet);

  // ---- session core fields ----
  EventLoopProxy proxy;
  // Owns the writing handle; the destructor gives the farewell at most kFarewellDeadline.
  std::unique_ptr<PacketWriter> writer;
  // What the session holds and has not dealt with yet, outgoing bytes included.
  std::shared_ptr<Backlog> backlog;
  std::string target;
  std::optional<std::string> username;
  std::string server_version;
  std::vector<MonitorInfo> monitors;
  double scale = 1.0;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> desktop_size;
  std::shared_ptr<LogForwardSlot> log_forwarding;
  std::int64_t round_trip_ms = -1;
  bool server_ping = false;
  bool startup_complete = false;
  // Filled by the writer thread; `startup_complete` is mirrored into it.
  std::shared_ptr<WriteFailureSlot> write_failure = std::make_shared<WriteFailureSlot>();
  std::chrono::steady_clock::time_point started_at = std::chrono::steady_clock::now();
  std::optional<ExitCode> exit_code;
  bool reader_started = false;
  bool resumed = false;
  bool ping_started = false;
  ReaderBody reader_body;
  // The event-loop thread: the Client is built by the event-loop handler, on the loop's thread.
  ThreadChecker loop_thread;

  // ---- windows and input ----
  BandWorkers present_bands;                      // before the windows, which point to it
  std::map<std::uint64_t, ClientWindow> windows;  // ordered: modal updates walk it in id order
  // Back buffer and surface pixels of all windows together; tests lower it.
  std::uint64_t window_pixel_budget = kMaxTotalWindowPixels;
  std::unordered_map<WindowId, std::uint64_t> window_ids;
  std::optional<std::uint64_t> pointer_grab;
  void new_window(ActiveEventLoop& loop, Packet& packet, bool override_redirect_packet);
  // Whether `pixels` more fit the budget once window `replaced` (if any) has given up its own.
  bool window_pixels_fit(std::uint64_t pixels, std::uint64_t replaced) const;
  std::optional<Value> window_monitor_info(std::uint64_t wid, std::int32_t x, std::int32_t y) const;
  void update_modal_windows();
  void move_resize_window(Packet& packet);
  void release_pointer_grab();
  void handle_window_event(std::uint64_t wid, WindowEvent& event);
  void handle_geometry_change(std::uint64_t wid);
  void send_pointer_button(std::uint64_t wid, std::int8_t button, bool pressed, std::int32_t x,
                           std::int32_t y);

  // ---- keyboard, cursors, icons, bell ----
  // The keyboard event of a server window, handed to the keyboard.
  void handle_keyboard_input(std::uint64_t wid, const KeyboardInput& input) {
    keyboard.handle_input(wid, input);
  }
  void handle_modifiers_changed(const ModifiersChanged& change) {
    keyboard.handle_modifiers_changed(change);
  }
  Keyboard keyboard{[this](Value packet) { send_packet(std::move(packet)); }};
  CursorsAndIcons cursors_and_icons{
      CursorsLink{[this] { return scale; },
                  [this](const std::function<void(std::uint64_t, Window&)>& visit) {
                    for (auto& [wid, record] : windows) visit(wid, *record.window);
                  },
                  [this](std::uint64_t wid) -> Window* {
                    auto it = windows.find(wid);
                    return it == windows.end() ? nullptr : it->second.window.get();
                  }}};
  BellForwarding bells;

  // ---- pictures ----
  DecodeSender decode_sender;
  // ["window-ack", wid, width, height, packet_sequence, decode_time, message]; decode_time -1
  // for a draw that was not painted for lack of a window, failed to decode or was never shown.
  void send_window_ack(std::uint64_t packet_sequence, std::uint64_t wid, std::uint32_t width,
                       std::uint32_t height, std::int64_t decode_time, std::string message);
  // A draw is answered once its picture has been presented, or with -1 and the reason once it
  // cannot be: the window's surface failed to present, or the window went.
  void acknowledge_unshown_draws(ClientWindow& window, const Status& shown);
  // Answers leave in the order the draws were read, whatever their window or outcome.
  void queue_window_ack(PendingAck ack);
  void send_ready_window_acks();
  std::deque<PendingAck> window_acks;
  void present_window(ClientWindow& window);
  // Painted draws are shown by one "present-windows" event posted behind them; at most one
  // waits in the queue at a time.
  void post_present();
  void handle_present_windows(ActiveEventLoop& loop, Packet& packet);
  void present_waiting_windows();
  bool present_posted = false;

  // ---- password challenge and its dialog ----
  ChallengeLink challenge_link();
  Challenge challenge{challenge_link()};
  // Hands the event to the password dialog when `window` is its window; false otherwise.
  bool route_auth_dialog_event(ActiveEventLoop& loop, WindowId window, const WindowEvent& event);

  // ---- tray, notifications, clipboard ----
  TrayAndNotifications tray;
  ClipboardSync clipboard_sync{[this](Value packet) { send_packet(std::move(packet)); }};
  // Where the thread reaches the local clipboard; none makes every read and write fail.
  std::shared_ptr<ClipboardAccess> clipboard_access;

  // ---- audio ----
  std::optional<AudioWorker> audio_worker;
  ReportedDelay av_sync_reported;
  std::uint64_t audio_sequence = 0;
  bool audio_caps_sent = false;
  bool speaker_forwarding = false;
  bool audio_stream_active = false;
  bool opus_head_seen = false;
  bool av_sync_enabled = false;
  bool audio_queue_full_warned = false;
  // False when the caller must drop the packet's remaining payloads.
  bool handle_opus_payload(Bytes payload, std::optional<std::uint64_t> timestamp,
                           std::optional<std::uint64_t> duration);
  void restart_audio_sequence();
  void disable_speaker_forwarding(const std::string& reason);
  void report_av_sync(std::uint32_t delay_ms);
  // Whether the command was queued; a lost control command disables speaker forwarding.
  bool audio_queue_result(SendOutcome outcome, std::string_view label, bool is_control);
  void send_audio_control(std::string_view command, Value value);
  SendOutcome queue_audio(AudioCommand command);
};

// An environment variable that is set and valid UTF-8.
std::optional<std::string> environment_text(const char* name);

// The caps map of the client's "hello".
Value hello_capabilities(const Client& client, const std::optional<ChallengeAnswer>& answer);
// /etc/machine-id, else /var/lib/dbus/machine-id; empty when neither can be read.
std::string machine_identifier();

// The desktop scale factor from NOLV_DESKTOP_SCALING's value (none when unset) and the
// automatic value; clamped to 1.0..4.0.
double desktop_scale_factor(const std::optional<std::string>& setting, double automatic);

// A monitor's position and size divided by `scale`, rounded half away from zero.
MonitorInfo monitor_logical_rect(const Monitor& monitor, double scale);

}  // namespace nolv
