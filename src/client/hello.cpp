// The client's capabilities "hello" and the handler of the server's.
#include <cstdlib>
#include <fstream>

#include "client/client.h"
#include "net/rand.h"
#include "util/format.h"
#include "util/version.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";

constexpr const char* kMetadataSupported[] = {"title",
                                              "size-constraints",
                                              "fullscreen",
                                              "maximized",
                                              "iconic",
                                              "decorations",
                                              "above",
                                              "below",
                                              "attention-requested",
                                              "transient-for",
                                              "parent",
                                              "relative-position",
                                              "modal",
                                              "skip-taskbar",
                                              "skip-pager",
                                              "class-instance",
                                              "window-type",
                                              "sticky",
                                              "opacity",
                                              "shaded",
                                              "workspace",
                                              "icon-title",
                                              "override-redirect"};

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string trimmed_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

// A truthy value: a Boolean, or an Integer other than 0.
bool truthy(const Yaml* value) {
  if (value == nullptr) return false;
  if (auto b = value->as_boolean()) return *b;
  if (auto i = value->as_integer()) return *i != 0;
  return false;
}

}  // namespace

// /etc/machine-id stands in for the system's machine identifier; empty when there is none.
std::string machine_identifier() {
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::string id = trimmed_first_line(path);
    if (!id.empty()) return id;
  }
  return "";
}

Value hello_capabilities(const Client& client, const std::optional<ChallengeAnswer>& answer) {
  const Value encodings = supported_encodings();
  Value caps = Value::object();
  if (client.audio_worker) {
    caps["audio"] = {{"async", true}};
    caps["av-sync"] = {{"delay", 120u}, {"delay.default", 120u}, {"enabled", true}, {"", true}};
  }
  caps["bell"] = true;
  if (answer) {
    caps["challenge_client_salt"] = answer->client_salt;
    caps["challenge_padding"] = random_salt_hex(64);
    caps["challenge_response"] = answer->response;
  }
  caps["chunks"] = true;
  caps["client_type"] = "kelp";
  caps["clipboard"] = {{"enabled", true},
                       {"greedy", true},
                       {"preferred-targets", {"UTF8_STRING", "STRING", "text/plain"}},
                       {"selections", {"CLIPBOARD"}},
                       {"want_targets", true}};
  caps["compression_level"] = 1u;
  caps["compressors"] = {"lz4"};
  caps["cursor"] = {{"backwards-compatible", false}, {"encodings", {"png"}}};
  caps["digest"] = {"hmac+sha256"};

  Value display = {{"monitor-relative", true}, {"resize-events", false}, {"show-desktop", true}};
  if (client.desktop_size) {
    display["desktop_size"] = {client.desktop_size->first, client.desktop_size->second};
  }
  if (!client.monitors.empty()) {
    Value monitors = Value::object();
    for (std::size_t i = 0; i < client.monitors.size(); ++i) {
      const MonitorInfo& m = client.monitors[i];
      Value entry = {{"geometry", {m.x, m.y, m.width, m.height}}, {"primary", m.primary}};
      if (!m.name.empty()) entry["name"] = m.name;
      if (m.refresh_rate) entry["refresh-rate"] = *m.refresh_rate;
      monitors[std::to_string(i)] = std::move(entry);
    }
    display["monitors"] = std::move(monitors);
  }
  caps["display"] = std::move(display);
  caps["encoders"] = {"yaml"};
  caps["encoding"] = {{"core", encodings},
                      {"full_csc_modes", {{"h264", {"YUV420P"}}}},
                      {"h264", {{"YUV420P.profile", "high"}}},
                      {"options", encodings},
                      {"window-icon", {"png"}}};
  caps["events"] = true;
  caps["hostname"] = env_or_empty("HOSTNAME");
  caps["keyboard"] = true;
  if (client.keyboard.layout()) caps["keymap"] = {{"delay", true}};
  Value supported = Value::array();
  for (const char* name : kMetadataSupported) supported.push_back(name);
  caps["metadata"] = {{"supported", std::move(supported)}};
  caps["notification"] = true;
  caps["notifications"] = {{"enabled", true}};
  caps["ping"] = true;
  caps["platform"] = "win32";
  caps["pointer"] = {{"enabled", true}};
  caps["protocol-version"] = {7u, 0u};
  caps["salt-digest"] = {"hmac+sha256"};
  caps["sharing"] = true;
  caps["user"] = env_or_empty("USER");
  std::string username;
  if (client.username) {
    username = *client.username;
  } else if (const char* v = std::getenv("USERNAME")) {
    username = v;
  } else {
    username = env_or_empty("USER");
  }
  caps["username"] = username;
  if (std::string id = machine_identifier(); !id.empty()) caps["uuid"] = std::move(id);
  caps["version"] = std::string(kVersion);
  caps["window"] = {{"enabled", true}, {"grabs", true}};
  return caps;
}

void Client::send_hello(const std::optional<ChallengeAnswer>& answer) {
  send_packet(Value::array({"hello", hello_capabilities(*this, answer)}));
}

void Client::handle_server_hello(ActiveEventLoop&, Packet& packet) {
  const Yaml caps = packet.items.size() >= 2 ? packet.items[1] : Yaml::null();
  keyboard.read_server_modifiers(caps);
  if (caps.as_hash() == nullptr) {
    log_error(kLog, "unexpected hello data type: {}", log_value(to_string(caps)));
    return;
  }
  if (const Yaml* version = yaml_dict_get(caps, "version")) {
    if (const std::string* text = version->as_string()) {
      log_info(kLog, "server version {}", log_value(*text));
      server_version = *text;
    }
  }
  server_ping = truthy(yaml_dict_get(caps, "ping"));
  log_debug(kLog, "server ping support: {}", server_ping);
  if (const Yaml* logging = yaml_dict_get(caps, "remote-logging")) {
    if (truthy(yaml_dict_get(*logging, "receive"))) {
      if (log_forwarding != nullptr) log_forwarding->fill(proxy);
      log_info(kLog, "remote logging enabled");
    }
  }
  if (const Yaml* clipboard = yaml_dict_get(caps, "clipboard");
      clipboard != nullptr && clipboard->as_hash() != nullptr) {
    start_clipboard_sync();
  }
  keyboard.send_layout();
  if (audio_worker && !audio_caps_sent) on_server_hello_audio(caps);
}

}  // namespace nolv
