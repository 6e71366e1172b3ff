#include "net/serde.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <thread>

namespace nolv {
namespace {

struct ScalarCase {
  std::string text;
  Yaml expected;
};

TEST(ResolvePlainScalar, CoreSchema) {
  const std::vector<ScalarCase> cases = {
      {"", Yaml::null()},
      {"~", Yaml::null()},
      {"null", Yaml::null()},
      {"Null", Yaml::null()},
      {"NULL", Yaml::null()},
      {"nULL", Yaml::string("nULL")},
      {"true", Yaml::boolean(true)},
      {"True", Yaml::boolean(true)},
      {"TRUE", Yaml::boolean(true)},
      {"false", Yaml::boolean(false)},
      {"FALSE", Yaml::boolean(false)},
      {"yes", Yaml::string("yes")},
      {"tRUE", Yaml::string("tRUE")},
      {"0", Yaml::integer(0)},
      {"-17", Yaml::integer(-17)},
      {"+5", Yaml::integer(5)},
      {"007", Yaml::integer(7)},
      {"9223372036854775807", Yaml::integer(INT64_MAX)},
      {"-9223372036854775808", Yaml::integer(INT64_MIN)},
      {"9223372036854775808", Yaml::real("9223372036854775808")},
      {"18446744073709551616", Yaml::real("18446744073709551616")},
      {"0x1F", Yaml::integer(31)},
      {"0x7fffffffffffffff", Yaml::integer(INT64_MAX)},
      {"0x8000000000000000", Yaml::string("0x8000000000000000")},
      {"0x", Yaml::string("0x")},
      {"0xg", Yaml::string("0xg")},
      {"-0x1", Yaml::string("-0x1")},
      {"0o17", Yaml::integer(15)},
      {"0o8", Yaml::string("0o8")},
      {"1_000", Yaml::string("1_000")},
      {"1.5", Yaml::real("1.5")},
      {"-1.50", Yaml::real("-1.50")},
      {".5", Yaml::real(".5")},
      {"5.", Yaml::real("5.")},
      {"1e5", Yaml::real("1e5")},
      {"1.5E-3", Yaml::real("1.5E-3")},
      {"1e", Yaml::string("1e")},
      {".", Yaml::string(".")},
      {"+", Yaml::string("+")},
      {"-", Yaml::string("-")},
      {".inf", Yaml::real(".inf")},
      {"-.Inf", Yaml::real("-.Inf")},
      {"+.INF", Yaml::real("+.INF")},
      {".iNf", Yaml::string(".iNf")},
      {".nan", Yaml::real(".nan")},
      {".NaN", Yaml::real(".NaN")},
      {".NAN", Yaml::real(".NAN")},
      {"-.nan", Yaml::string("-.nan")},
      {"hello", Yaml::string("hello")},
  };
  for (const ScalarCase& c : cases) {
    EXPECT_EQ(resolve_plain_scalar(c.text), c.expected) << c.text;
  }
}

Yaml load_one(std::string_view text) {
  Result<std::vector<Yaml>> docs = load_yaml_documents(text);
  EXPECT_TRUE(docs.ok()) << (docs.ok() ? "" : docs.message());
  if (!docs.ok() || docs->size() != 1) return Yaml::bad_value();
  return docs->front();
}

TEST(LoadYaml, QuotedAndBlockScalarsAreStrings) {
  const Yaml doc = load_one("['5', \"true\", \"a\\nb\\u00e9\", 'it''s', ~, \"\"]");
  EXPECT_EQ(doc, Yaml::array({Yaml::string("5"), Yaml::string("true"), Yaml::string("a\nb\xc3\xa9"),
                              Yaml::string("it's"), Yaml::null(), Yaml::string("")}));
  EXPECT_EQ(load_one("- |\n  line\n- >\n  folded\n  text\n"),
            Yaml::array({Yaml::string("line\n"), Yaml::string("folded text\n")}));
}

TEST(LoadYaml, MappingsKeepDocumentOrderAndWholeValueKeys) {
  const Yaml doc = load_one("{z: 1, a: [x, 2.5], 1: one, \"1\": text, [k]: v, e:}");
  EXPECT_EQ(doc, Yaml::hash({
                     {Yaml::string("z"), Yaml::integer(1)},
                     {Yaml::string("a"), Yaml::array({Yaml::string("x"), Yaml::real("2.5")})},
                     {Yaml::integer(1), Yaml::string("one")},
                     {Yaml::string("1"), Yaml::string("text")},
                     {Yaml::array({Yaml::string("k")}), Yaml::string("v")},
                     {Yaml::string("e"), Yaml::null()},
                 }));
}

TEST(LoadYaml, BlockStyleAndNulDoubleQuoted) {
  const Yaml doc = load_one("- draw\n- 5\n- {w: 10, h: 20}\n- \"a\\0b\"\n");
  EXPECT_EQ(doc, Yaml::array({Yaml::string("draw"), Yaml::integer(5),
                              Yaml::hash({{Yaml::string("w"), Yaml::integer(10)},
                                          {Yaml::string("h"), Yaml::integer(20)}}),
                              Yaml::string(std::string("a\0b", 3))}));
}

TEST(LoadYaml, CoreTagsOnPlainScalars) {
  const Yaml doc = load_one("[!!str 5, !!int 7, !!int x, !!float 3, !!bool true, !!null ~, !x 5]");
  EXPECT_EQ(doc,
            Yaml::array({Yaml::string("5"), Yaml::integer(7), Yaml::bad_value(), Yaml::real("3"),
                         Yaml::boolean(true), Yaml::null(), Yaml::string("5")}));
}

TEST(LoadYaml, AliasesStayReferencesAndAreNotExpanded) {
  const Yaml doc = load_one("[&a [1, 2], &b x, *a, *b, *a]");
  EXPECT_EQ(doc, Yaml::array({Yaml::array({Yaml::integer(1), Yaml::integer(2)}), Yaml::string("x"),
                              Yaml::alias(1), Yaml::alias(2), Yaml::alias(1)}));
  Result<std::vector<Yaml>> unknown = load_yaml_documents("[*nowhere]");
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.message(), "found unknown anchor at byte 2 line 1 column 3");
}

TEST(LoadYaml, DocumentCount) {
  for (const std::string_view text : {"", "   \n\n", "# only a comment\n"}) {
    Result<std::vector<Yaml>> docs = load_yaml_documents(text);
    ASSERT_TRUE(docs.ok()) << text;
    EXPECT_EQ(docs->size(), 0u) << text;
  }
  Result<std::vector<Yaml>> two = load_yaml_documents("--- [1]\n--- [2]\n");
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two->size(), 2u);
}

TEST(LoadYaml, ErrorsCarryMessageAndPosition) {
  struct ErrorCase {
    std::string text;
    std::string message;
  };
  const std::vector<ErrorCase> cases = {
      {"{a: 1, a: 2}", "String(\"a\"): duplicated key in mapping at byte 7 line 1 column 8"},
      {"x: 1\ny: 2\nx: 3\n", "String(\"x\"): duplicated key in mapping at byte 10 line 3 column 1"},
      {"{[1, 2]: a, [1, 2]: b}",
       "Array([Integer(1), Integer(2)]): duplicated key in mapping at byte 12 line 1 column 13"},
      {"x: [1,\n  ]]",
       "flow sequence with invalid extra closing bracket at byte 10 line 2 column 4"},
      {"\"abc", "double-quoted scalar without closing quote at byte 1 line 1 column 2"},
      {"[1] junk", "missing document start at byte 4 line 1 column 5"},
  };
  for (const ErrorCase& c : cases) {
    Result<std::vector<Yaml>> docs = load_yaml_documents(c.text);
    ASSERT_FALSE(docs.ok()) << c.text;
    EXPECT_EQ(docs.message(), c.message) << c.text;
  }
}

TEST(LoadYaml, RepeatedKeyInALargeMapping) {
  std::string text = "{";
  for (int i = 0; i < 100; ++i) text += fmt::format("k{}: {}, ", i, i);
  Result<std::vector<Yaml>> ok = load_yaml_documents(text + "}");
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->front().as_hash()->size(), 100u);
  Result<std::vector<Yaml>> repeated = load_yaml_documents(text + "k42: again}");
  ASSERT_FALSE(repeated.ok());
  EXPECT_TRUE(repeated.message().starts_with("String(\"k42\"): duplicated key in mapping at byte "))
      << repeated.message();
  // The same key in two different mappings is no repetition.
  EXPECT_TRUE(load_yaml_documents("[{a: 1}, {a: 2}]").ok());
}

TEST(LoadYaml, NestingIsBounded) {
  const std::string ok_depth(kMaxYamlDepth, '[');
  Result<std::vector<Yaml>> ok = load_yaml_documents(ok_depth + std::string(kMaxYamlDepth, ']'));
  EXPECT_TRUE(ok.ok()) << ok.message();
  Result<std::vector<Yaml>> deep = load_yaml_documents(std::string(10000, '['));
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.message(), fmt::format("nesting deeper than 256 levels at byte 256 line 1 "
                                        "column 257"));
}

TEST(LoadYaml, SingleQuotedScalarsUnescapeAndFold) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"['it''s']", "it's"},
      {"['''''''''''']", "'''''"},
      {"['a  \n   b']", "a b"},
      {"['a\n\n  \n b']", "a\n\nb"},
      {"['a \r\n\tb']", "a b"},
      {"[' lead', 'trail ']", " lead"},
      {"['\xc3\xa9''\xc3\xbc']", "\xc3\xa9'\xc3\xbc"},
  };
  for (const auto& c : cases) {
    const Yaml doc = load_one(c.text);
    ASSERT_NE(doc.as_array(), nullptr) << c.text;
    EXPECT_EQ(doc.as_array()->front(), Yaml::string(c.expected)) << c.text;
  }
}

// Every quote pair is one more chunk of the scalar's text; past a few the chunk list grows on the
// heap, and a server repeating such a packet must not make the client's memory grow with it.
TEST(LoadYaml, ScalarOfManyEscapesLeavesNothingBehind) {
  const std::string text = "['" + std::string(64, '\'') + "', 'a''b''c''d''e''f''g']";
  const Yaml expected =
      Yaml::array({Yaml::string(std::string(32, '\'')), Yaml::string("a'b'c'd'e'f'g")});
  ASSERT_EQ(load_one(text), expected);
  const std::size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(load_yaml_documents(text).ok());
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 64 * 1024) << "heap grew by " << after - before << " bytes";
}

// One parser serves all texts of a thread in turn: whatever one text leaves behind (an error, a
// parse stopped midway, a directive) must not change how the next one reads.
TEST(LoadYaml, EachTextReadsAsIfAlone) {
  const std::vector<std::string> texts = {
      "{a: 1, a: 2}",
      "[1, 2]",
      "\"abc",
      "[3]",
      "%TAG !e! tag:example.com,2000:\n--- !e!x [1]\n",
      "--- !e!x [2]\n",
      "[1] junk",
      "--- [1]\n--- [2]\n",
      std::string(300, '['),
      "[ok, {b: c}]",
  };
  for (const std::string& text : texts) {
    Result<std::vector<Yaml>> alone = Error{};
    std::thread([&] { alone = load_yaml_documents(text); }).join();
    Result<std::vector<Yaml>> in_turn = load_yaml_documents(text);
    ASSERT_EQ(in_turn.ok(), alone.ok()) << text;
    if (alone.ok()) {
      EXPECT_EQ(*in_turn, *alone) << text;
    } else {
      EXPECT_EQ(in_turn.message(), alone.message()) << text;
    }
  }
}

TEST(ParsePacketItems, RootMustBeOneSequence) {
  Result<ParsedItems> items = parse_packet_items("[hello, 5]");
  ASSERT_TRUE(items.ok());
  EXPECT_EQ(items->items, (std::vector<Yaml>{Yaml::string("hello"), Yaml::integer(5)}));
  Result<ParsedItems> empty_list = parse_packet_items("[]");
  ASSERT_TRUE(empty_list.ok());
  EXPECT_TRUE(empty_list->items.empty());

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "too many items"},
      {"--- [1]\n--- [2]\n", "too many items"},
      {"{a: 1}", "received invalid packet data type"},
      {"hello", "received invalid packet data type"},
  };
  for (const auto& [text, reason] : bad) {
    Result<ParsedItems> r = parse_packet_items(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.message(), reason) << text;
  }
}

TEST(CheckUtf8, ReasonsGiveLengthAndOffset) {
  struct Utf8Case {
    std::string bytes;
    std::string reason;  // empty: valid
  };
  const std::vector<Utf8Case> cases = {
      {"plain ascii", ""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", ""},
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"a\xc3(", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // surrogate
      {"\xe2\x82(", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"xy\xf0\x9f\x98(", "invalid utf-8 sequence of 3 bytes from index 2"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"ok\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"},
      {"\xc3", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const Utf8Case& c : cases) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                              c.bytes.size());
    Status s = check_utf8(bytes);
    if (c.reason.empty()) {
      EXPECT_TRUE(s.ok()) << s.message();
    } else {
      ASSERT_FALSE(s.ok()) << c.reason;
      EXPECT_EQ(s.message(), c.reason);
    }
  }
}

}  // namespace
}  // namespace nolv
