#include "net/uri.h"

#include "util/text.h"

namespace nolv {

namespace {

Target ssh_target(std::string_view authority, std::string_view path) {
  Target t;
  t.kind = TargetKind::Ssh;
  std::string_view host = authority;
  if (auto at = authority.find('@'); at != std::string_view::npos) {
    t.user = std::string(authority.substr(0, at));
    host = authority.substr(at + 1);
  }
  t.address =
      host.find(':') != std::string_view::npos ? std::string(host) : std::string(host) + ":22";
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  t.path = std::string(path);
  return t;
}

}  // namespace

Result<Target> parse_uri(std::string_view text) {
  if (!text.empty() && text.front() == '/') {
    return Target{std::string(text), "", std::nullopt, TargetKind::Socket};
  }
  const auto sep = text.find("://");
  if (sep == std::string_view::npos) return Target{std::string(text), "", std::nullopt};

  const std::string_view scheme = text.substr(0, sep);
  const std::string_view rest = text.substr(sep + 3);
  if (equals_ignoring_ascii_case(scheme, "socket")) {
    if (rest.empty()) return fail("missing absolute socket path in {}", text);
    if (rest.front() != '/') return fail("socket path must be absolute in {}", text);
    return Target{std::string(rest), "", std::nullopt, TargetKind::Socket};
  }

  const auto slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? "" : rest.substr(slash);
  if (authority.empty()) return fail("missing host:port in {}", text);

  static constexpr std::pair<std::string_view, TargetKind> kNetworkSchemes[] = {
      {"tcp", TargetKind::Tcp},
      {"ssl", TargetKind::Ssl},
      {"ws", TargetKind::Ws},
      {"wss", TargetKind::Wss}};
  for (const auto& [name, kind] : kNetworkSchemes) {
    if (equals_ignoring_ascii_case(scheme, name)) {
      return Target{std::string(authority), std::string(path), std::nullopt, kind};
    }
  }
  if (equals_ignoring_ascii_case(scheme, "ssh")) return ssh_target(authority, path);
  return fail(
      "unsupported protocol {}: only 'tcp', 'ssl', 'ws', 'wss', 'ssh' and 'socket' are "
      "supported",
      scheme);
}

}  // namespace nolv
