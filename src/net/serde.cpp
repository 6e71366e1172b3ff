#include "net/serde.h"

#include <libfyaml.h>

#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "util/format.h"
#include "util/log.h"
#include "util/text.h"
#include "util/unique_handle.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::net::serde";

// Maps up to this size are searched for a repeated key pair by pair; larger ones get an index.
constexpr std::size_t kLinearKeySearch = 8;

// Text longer than this lives outside the value, in a block of its capacity plus the final 0.
const std::size_t kInlineText = std::string().capacity();

std::uint64_t text_memory(const std::string& text) {
  return text.capacity() > kInlineText ? text.capacity() + 1 : 0;
}

bool all_of(std::string_view text, bool (*pred)(char)) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!pred(c)) return false;
  }
  return true;
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_octal(char c) {
  return c >= '0' && c <= '7';
}

std::optional<std::int64_t> integer_in_base(std::string_view digits, int base, bool negative) {
  // Parsed as unsigned so that the most negative value fits too.
  std::uint64_t magnitude = 0;
  const auto [end, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = INT64_MAX;
  if (!negative) {
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMaxPositive + 1) return std::nullopt;
  return static_cast<std::int64_t>(0 - magnitude);
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?
bool is_core_float(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  const std::size_t int_start = i;
  while (i < t.size() && is_digit(t[i])) ++i;
  const bool int_digits = i > int_start;
  bool frac_digits = false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    const std::size_t frac_start = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    frac_digits = i > frac_start;
  }
  if (!int_digits && !frac_digits) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::size_t exp_start = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    if (i == exp_start) return false;
  }
  return i == t.size();
}

bool is_core_special_float(std::string_view t) {
  std::string_view body = t;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  if (body == ".inf" || body == ".Inf" || body == ".INF") return true;
  return t == ".nan" || t == ".NaN" || t == ".NAN";
}

std::string_view token_text(fy_token* token) {
  if (token == nullptr) return {};
  std::size_t len = 0;
  const char* text = fy_token_get_text(token, &len);
  return text != nullptr ? std::string_view(text, len) : std::string_view();
}

struct Position {
  std::size_t byte = 0;
  int line = 1;  // from 1
  int column = 1;
};

Position position_of(const fy_mark* mark) {
  if (mark == nullptr) return {};
  return Position{mark->input_pos, mark->line + 1, mark->column + 1};
}

Error error_at(std::string_view message, Position at) {
  return fail("{} at byte {} line {} column {}", message, at.byte, at.line, at.column);
}

// A plain scalar carrying an explicit core tag; any other tag leaves the text a string.
Yaml resolve_tagged_plain(std::string_view tag, std::string_view text) {
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (!tag.starts_with(kCore)) return Yaml::string(std::string(text));
  const std::string_view name = tag.substr(kCore.size());
  const Yaml resolved = resolve_plain_scalar(text);
  if (name == "int") return resolved.is(Yaml::Kind::Integer) ? resolved : Yaml::bad_value();
  if (name == "float") {
    const bool number = resolved.is(Yaml::Kind::Real) || resolved.is(Yaml::Kind::Integer);
    return number ? Yaml::real(std::string(text)) : Yaml::bad_value();
  }
  if (name == "bool") return resolved.is(Yaml::Kind::Boolean) ? resolved : Yaml::bad_value();
  if (name == "null") return resolved.is(Yaml::Kind::Null) ? resolved : Yaml::bad_value();
  return Yaml::string(std::string(text));
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_break(char c) {
  return c == '\n' || c == '\r';
}

// The value of a single-quoted scalar from its source between the quotes: "''" is one quote, and
// line breaks fold (one break is a space, n breaks are n - 1 newlines, blanks around them go).
std::string single_quoted_text(std::string_view raw) {
  std::string out;
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] == '\'' && i + 1 < raw.size() && raw[i + 1] == '\'') {
      out += '\'';
      i += 2;
    } else if (is_break(raw[i])) {
      while (!out.empty() && is_blank(out.back())) out.pop_back();
      std::size_t breaks = 0;
      while (i < raw.size() && is_break(raw[i])) {
        i += raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n' ? 2 : 1;
        ++breaks;
        while (i < raw.size() && is_blank(raw[i])) ++i;
      }
      if (breaks == 1) {
        out += ' ';
      } else {
        out.append(breaks - 1, '\n');
      }
    } else {
      out += raw[i++];
    }
  }
  return out;
}

// `input` is the whole text the parser reads, which the token's marks index.
Yaml scalar_value(const fy_event_scalar_data& scalar, std::string_view input) {
  if (scalar.value == nullptr) return Yaml::null();  // an empty implicit value ("a:")
  const fy_scalar_style style = fy_token_scalar_style(scalar.value);
  if (style == FYSS_SINGLE_QUOTED) {
    // Not the library's text: it leaks memory on every scalar of several adjacent quote pairs
    // (""), which a server could send again and again.
    const fy_mark* start = fy_token_start_mark(scalar.value);
    const fy_mark* end = fy_token_end_mark(scalar.value);
    if (start != nullptr && end != nullptr && start->input_pos <= end->input_pos &&
        end->input_pos <= input.size()) {
      return Yaml::string(
          single_quoted_text(input.substr(start->input_pos, end->input_pos - start->input_pos)));
    }
  }
  const std::string_view text = token_text(scalar.value);
  if (style != FYSS_PLAIN) return Yaml::string(std::string(text));
  if (scalar.tag != nullptr) return resolve_tagged_plain(token_text(scalar.tag), text);
  return resolve_plain_scalar(text);
}

// One open sequence or mapping.
struct Frame {
  Yaml value;
  Position start;
  std::optional<Yaml> key;                    // a mapping's key waiting for its value
  std::unordered_set<std::string> key_index;  // printed keys, once the map is large
};

// A parser and its diagnostics, made once per thread: making them costs a small packet's parse
// again. A parser that read its input to the end starts afresh on the next one; collected errors
// stay in the diagnostics, so after any failure both are made anew.
class ThreadParser {
 public:
  static ThreadParser& get() {
    thread_local ThreadParser own;
    return own;
  }

  // The parser, ready for a new input; null when it cannot be made.
  fy_parser* ready() {
    if (parser_ != nullptr) return parser_.get();
    fy_diag_cfg diag_cfg;
    fy_diag_cfg_default(&diag_cfg);
    diag_cfg.fp = nullptr;  // never stderr: diagnostics are collected below
    diag_cfg.output_fn = [](fy_diag*, void*, const char*, std::size_t) {};
    diag_cfg.colorize = false;
    diag_.reset(fy_diag_create(&diag_cfg));
    if (diag_ == nullptr) return nullptr;
    fy_diag_set_collect_errors(diag_.get(), true);
    fy_parse_cfg cfg{};
    cfg.flags = static_cast<fy_parse_cfg_flags>(FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 |
                                                FYPCF_JSON_NONE | FYPCF_DISABLE_MMAP_OPT);
    cfg.diag = diag_.get();
    parser_.reset(fy_parser_create(&cfg));
    return parser_.get();
  }

  fy_diag* diag() const { return diag_.get(); }

  void discard() {
    parser_.reset();
    diag_.reset();
  }

 private:
  ThreadParser() = default;
  UniqueHandle<fy_diag, fy_diag_destroy> diag_;
  UniqueHandle<fy_parser, fy_parser_destroy> parser_;
};

class Loader {
 public:
  explicit Loader(std::string_view text) : text_(text) {}

  Result<std::vector<Yaml>> run() {
    ThreadParser& own = ThreadParser::get();
    memory_ = 0;
    fy_parser* parser = own.ready();
    if (parser == nullptr) return fail("failed to create the yaml parser");
    Status parsed = parse(parser);
    if (parsed && fy_parser_get_stream_error(parser)) parsed = parser_error(own.diag());
    if (!parsed) {
      own.discard();
      return parsed.error();
    }
    memory_ += documents_.capacity() * sizeof(Yaml);
    return std::move(documents_);
  }

  // What the values built by `run` take in memory: every value, the unused room of every list,
  // and every text too long to live inside its value.
  std::uint64_t memory() const { return memory_; }

 private:
  Status parse(fy_parser* parser) {
    // An empty payload may come without any storage behind it.
    const char* input = text_.empty() ? "" : text_.data();
    if (fy_parser_set_string(parser, input, text_.size()) != 0) {
      return fail("failed to start the yaml parser");
    }
    for (;;) {
      fy_event* event = fy_parser_parse(parser);
      if (event == nullptr) return {};
      Status handled = handle(*event);
      fy_parser_event_free(parser, event);
      if (!handled) return handled;
    }
  }

  Status handle(fy_event& event) {
    const Position at = position_of(fy_event_start_mark(&event));
    switch (event.type) {
      case FYET_SCALAR:
        note_anchor(event.scalar.anchor);
        return add(scalar_value(event.scalar, text_), at);
      case FYET_ALIAS: {
        const auto found = anchors_.find(std::string(token_text(event.alias.anchor)));
        if (found == anchors_.end()) return error_at("found unknown anchor", at);
        return add(Yaml::alias(found->second), at);
      }
      case FYET_SEQUENCE_START:
        note_anchor(event.sequence_start.anchor);
        return open(Yaml::array({}), at);
      case FYET_MAPPING_START:
        note_anchor(event.mapping_start.anchor);
        return open(Yaml::hash({}), at);
      case FYET_SEQUENCE_END:
      case FYET_MAPPING_END: {
        Frame done = std::move(stack_.back());
        stack_.pop_back();
        if (const Yaml::Array* items = done.value.as_array()) {
          memory_ += (items->capacity() - items->size()) * sizeof(Yaml);
        } else if (const Yaml::Hash* pairs = done.value.as_hash()) {
          memory_ += (pairs->capacity() - pairs->size()) * sizeof(Yaml::Hash::value_type);
        }
        return add(std::move(done.value), done.start);
      }
      default:
        return {};
    }
  }

  void note_anchor(fy_token* anchor) {
    if (anchor == nullptr) return;
    anchors_[std::string(token_text(anchor))] = ++anchor_count_;
  }

  Status open(Yaml container, Position at) {
    if (stack_.size() >= kMaxYamlDepth) {
      return error_at(fmt::format("nesting deeper than {} levels", kMaxYamlDepth), at);
    }
    stack_.push_back(Frame{std::move(container), at, std::nullopt, {}});
    return {};
  }

  // A finished value starting at `at`: a document root, a sequence element, a mapping key or a
  // mapping value.
  Status add(Yaml value, Position at) {
    // Counted as built, so that a list of tiny values is refused before it takes gigabytes.
    memory_ += sizeof(Yaml);
    if (const std::string* text = value.as_string()) memory_ += text_memory(*text);
    if (const std::string* text = value.as_real_text()) memory_ += text_memory(*text);
    if (memory_ > kMaxParsedPacketMemory) {
      return error_at(
          fmt::format("the values take more than the maximum of {} bytes", kMaxParsedPacketMemory),
          at);
    }
    if (stack_.empty()) {
      documents_.push_back(std::move(value));
      return {};
    }
    Frame& top = stack_.back();
    if (Yaml::Array* items = top.value.as_array()) {
      items->push_back(std::move(value));
      return {};
    }
    if (!top.key) {
      if (Status fresh = check_new_key(top, value, at); !fresh) return fresh;
      top.key = std::move(value);
      return {};
    }
    top.value.as_hash()->emplace_back(std::move(*top.key), std::move(value));
    top.key.reset();
    return {};
  }

  static Status check_new_key(Frame& frame, const Yaml& key, Position at) {
    const Yaml::Hash& pairs = *frame.value.as_hash();
    bool repeated = false;
    if (pairs.size() < kLinearKeySearch) {
      for (const auto& pair : pairs) repeated = repeated || pair.first == key;
    } else {
      if (frame.key_index.empty()) {
        for (const auto& pair : pairs) frame.key_index.insert(to_string(pair.first));
      }
      repeated = !frame.key_index.insert(to_string(key)).second;
    }
    if (!repeated) return {};
    return error_at(fmt::format("{}: duplicated key in mapping", to_string(key)), at);
  }

  Error parser_error(fy_diag* diag) const {
    void* iter = nullptr;
    while (fy_diag_error* err = fy_diag_errors_iterate(diag, &iter)) {
      if (err->type < FYET_ERROR) continue;
      const fy_mark* mark = err->fyt != nullptr ? fy_token_start_mark(err->fyt) : nullptr;
      const std::size_t byte = mark != nullptr ? mark->input_pos : byte_of(err->line, err->column);
      return error_at(err->msg != nullptr ? err->msg : "invalid yaml",
                      Position{byte, err->line, err->column});
    }
    return error_at("invalid yaml", Position{text_.size(), 1, 1});
  }

  // The byte offset of a 1-based line and character column, clamped to the text.
  std::size_t byte_of(int line, int column) const {
    std::size_t i = 0;
    for (int l = 1; l < line && i < text_.size(); ++i) {
      if (text_[i] == '\n') ++l;
    }
    for (int c = 1; c < column && i < text_.size(); ++c) {
      ++i;
      while (i < text_.size() && is_utf8_continuation(static_cast<unsigned char>(text_[i]))) ++i;
    }
    return i;
  }

  std::string_view text_;
  std::vector<Yaml> documents_;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, std::uint64_t> anchors_;
  std::uint64_t anchor_count_ = 0;
  std::uint64_t memory_ = 0;
};

}  // namespace

Status check_utf8(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Prefix p = utf8_prefix(text, i);
    if (p.length == 0) return fail("invalid utf-8 sequence of 1 bytes from index {}", i);
    if (p.matched < p.length) {
      if (i + p.matched >= text.size())
        return fail("incomplete utf-8 byte sequence from index {}", i);
      return fail("invalid utf-8 sequence of {} bytes from index {}", p.matched, i);
    }
    i += p.length;
  }
  return {};
}

Yaml resolve_plain_scalar(std::string_view text) {
  if (text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL") {
    return Yaml::null();
  }
  if (text == "true" || text == "True" || text == "TRUE") return Yaml::boolean(true);
  if (text == "false" || text == "False" || text == "FALSE") return Yaml::boolean(false);

  std::string_view body = text;
  const bool negative = body.front() == '-';
  if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);
  if (all_of(body, is_digit)) {
    if (auto v = integer_in_base(body, 10, negative)) return Yaml::integer(*v);
    return Yaml::real(std::string(text));  // too large for 64 bits
  }
  if (text.starts_with("0x") && all_of(text.substr(2), is_hex)) {
    if (auto v = integer_in_base(text.substr(2), 16, false)) return Yaml::integer(*v);
  } else if (text.starts_with("0o") && all_of(text.substr(2), is_octal)) {
    if (auto v = integer_in_base(text.substr(2), 8, false)) return Yaml::integer(*v);
  }
  if (is_core_float(text) || is_core_special_float(text)) return Yaml::real(std::string(text));
  return Yaml::string(std::string(text));
}

Result<std::vector<Yaml>> load_yaml_documents(std::string_view text) {
  return Loader(text).run();
}

Result<ParsedItems> parse_packet_items(std::string_view text) {
  Loader loader(text);
  Result<std::vector<Yaml>> documents = loader.run();
  if (!documents) return documents.error();
  if (documents->size() != 1) {
    log_error(kLog, "expected 1 item, got {}", documents->size());
    return fail("too many items");
  }
  Yaml& root = documents->front();
  Yaml::Array* items = root.as_array();
  if (items == nullptr) {
    log_error(kLog, "packet is not an array: {}", log_value(to_string(root)));
    return fail("received invalid packet data type");
  }
  return ParsedItems{std::move(*items), loader.memory()};
}

}  // namespace nolv
