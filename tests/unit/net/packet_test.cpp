#include "net/packet.h"

#include <gtest/gtest.h>

#include "net/base64.h"

namespace nolv {
namespace {

using Items = std::vector<Yaml>;

Yaml str(const char* s) {
  return Yaml::string(s);
}
Yaml num(std::int64_t v) {
  return Yaml::integer(v);
}
Yaml map(std::initializer_list<std::pair<Yaml, Yaml>> pairs) {
  return Yaml::hash(Yaml::Hash(pairs));
}

TEST(PacketAccessors, IntegersTruncateAndOtherTypesGiveZero) {
  const Items items{str("x"),        num(-1),           num((std::int64_t{1} << 32) + 5),
                    num(2147483648), Yaml::real("1.5"), str("7")};
  EXPECT_EQ(packet_get_u32(items, 1), 4294967295u);
  EXPECT_EQ(packet_get_u32(items, 2), 5u);
  EXPECT_EQ(packet_get_i32(items, 3), -2147483648);
  EXPECT_EQ(packet_get_usize(items, 1), 18446744073709551615u);
  EXPECT_EQ(packet_get_i64(items, 2), (std::int64_t{1} << 32) + 5);
  EXPECT_EQ(packet_get_i64(items, 4), 0);
  EXPECT_EQ(packet_get_u32(items, 5), 0u);
  EXPECT_EQ(packet_get_u32(items, 200), 0u);  // beyond the item count
  EXPECT_EQ(packet_get_str(items, 0), "x");
  EXPECT_EQ(packet_get_str(items, 4), "");
  EXPECT_EQ(packet_get_str(Items{str("x"), num(7)}, 1), "");
  EXPECT_EQ(packet_get_str(items, 99), "");
}

TEST(PacketAccessors, BoolReadsItemOne) {
  EXPECT_FALSE(packet_get_bool(Items{str("x"), str("true")}));
  EXPECT_TRUE(packet_get_bool(Items{str("x"), num(2)}));
  EXPECT_FALSE(packet_get_bool(Items{str("x"), num(0)}));
  EXPECT_TRUE(packet_get_bool(Items{str("x"), Yaml::boolean(true)}));
  EXPECT_FALSE(packet_get_bool(Items{str("x")}));
}

TEST(PacketAccessors, BytesTakeTheChunkOnceThenDecodeTheItem) {
  Packet p;
  p.items.assign(8, Yaml::string(""));
  p.items[7] = str("aGVs");
  p.chunks[7] = Bytes{1, 2, 3};
  EXPECT_EQ(packet_get_bytes(p, 7), (Bytes{1, 2, 3}));
  EXPECT_TRUE(p.chunks.empty());
  EXPECT_EQ(packet_get_bytes(p, 7), (Bytes{'h', 'e', 'l'}));
}

TEST(PacketAccessors, DecodeYamlBytes) {
  const Bytes hello{'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(decode_yaml_bytes(str("aGVs\nbG8=")), hello);
  EXPECT_EQ(decode_yaml_bytes(str("aGVsbG8")), Bytes{});
  EXPECT_EQ(decode_yaml_bytes(str("aGVs\r\nbG8=")), Bytes{});
  EXPECT_EQ(decode_yaml_bytes(num(5)), Bytes{});
}

TEST(MapAccessors, BoolAndKeysMatchOnlyAsStrings) {
  const Yaml m = map({{str("a"), str("yes")},
                      {num(1), str("x")},
                      {str("b"), num(3)},
                      {str("c"), Yaml::boolean(false)}});
  EXPECT_EQ(yaml_as_bool(yaml_dict_get(m, "a")), std::optional(false));
  EXPECT_EQ(yaml_dict_get_bool(m, "a"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_bool(m, "b"), std::optional(true));
  EXPECT_EQ(yaml_dict_get_bool(m, "c"), std::optional(false));
  EXPECT_EQ(yaml_dict_get(m, "1"), nullptr);
  EXPECT_EQ(yaml_as_bool(nullptr), std::nullopt);
}

TEST(MapAccessors, NumbersSizesAndLists) {
  const Yaml m = map({
      {str("neg"), num(-3)},
      {str("big"), num(4294967296)},
      {str("real_max"), Yaml::real("18446744073709551615")},
      {str("real_plus"), Yaml::real("+12")},
      {str("real_frac"), Yaml::real("1.5")},
      {str("real_over"), Yaml::real("18446744073709551616")},
      {str("real_sign"), Yaml::real("-")},
      {str("text"), str("5")},
      {str("zero"), num(0)},
      {str("s0"), Yaml::array({num(0), num(5)})},
      {str("s3"), Yaml::array({num(5), num(6), num(7)})},
      {str("sbig"), Yaml::array({num(4294967296), num(1)})},
      {str("mixed"), Yaml::array({str("a"), num(1)})},
      {str("empty"), Yaml::array({})},
  });
  EXPECT_EQ(yaml_dict_get_int(m, "neg"), std::optional(4294967293u));
  EXPECT_EQ(yaml_dict_get_int(m, "big"), std::optional(0u));
  EXPECT_EQ(yaml_dict_get_int(m, "real_max"), std::optional(4294967295u));
  EXPECT_EQ(yaml_dict_get_int(m, "real_plus"), std::optional(12u));
  EXPECT_EQ(yaml_dict_get_int(m, "real_frac"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_int(m, "real_over"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_int(m, "real_sign"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_int(m, "text"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_uint(m, "neg"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_uint(m, "zero"), std::optional(0u));
  EXPECT_EQ(yaml_dict_get_positive(m, "zero"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_positive(m, "big"), std::optional(4294967296));
  EXPECT_EQ(yaml_dict_get_size(m, "s0"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_size(m, "s3"), (std::optional(std::pair{5u, 6u})));
  EXPECT_EQ(yaml_dict_get_size(m, "sbig"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_str_list(m, "mixed"), std::nullopt);
  EXPECT_EQ(yaml_dict_get_list(m, "mixed"), std::vector<std::string>{"a"});
  EXPECT_EQ(yaml_dict_get_str_list(m, "empty"), std::optional(std::vector<std::string>{}));
  EXPECT_TRUE(yaml_dict_get_list(m, "empty").empty());
  EXPECT_EQ(yaml_dict_get_string(m, "text"), std::optional<std::string>("5"));
  EXPECT_EQ(yaml_dict_get_string(m, "neg"), std::nullopt);
}

TEST(MapAccessors, NonHashContainersGiveAbsent) {
  for (const Yaml& c : {Yaml::array({str("a")}), str("a"), Yaml::null()}) {
    EXPECT_EQ(yaml_dict_get(c, "a"), nullptr);
    EXPECT_EQ(yaml_dict_get_bool(c, "a"), std::nullopt);
    EXPECT_EQ(yaml_dict_get_uint(c, "a"), std::nullopt);
    EXPECT_EQ(yaml_dict_get_int(c, "a"), std::nullopt);
    EXPECT_EQ(yaml_dict_get_string(c, "a"), std::nullopt);
    EXPECT_EQ(yaml_dict_get_size(c, "a"), std::nullopt);
    EXPECT_EQ(yaml_dict_get_str_list(c, "a"), std::nullopt);
    EXPECT_TRUE(yaml_dict_get_list(c, "a").empty());
  }
}

TEST(PrintedForm, PacketsAndValues) {
  Packet p;
  p.items = {str("hello"), num(5)};
  EXPECT_EQ(to_string(p), "Packet { type: String(\"hello\") }");
  const Yaml v = Yaml::array({Yaml::real("1.5"), Yaml::boolean(true), Yaml::null(),
                              map({{str("k"), Yaml::alias(3)}}), str("q\"\n"), Yaml::bad_value()});
  EXPECT_EQ(to_string(v),
            "Array([Real(\"1.5\"), Boolean(true), Null, Hash({String(\"k\"): Alias(3)}), "
            "String(\"q\\\"\\n\"), BadValue])");
}

TEST(Value, CompactJsonHasSortedKeysAndExpectedEscapes) {
  Value packet = Value::array({"x", Value::object({{"b", 1}, {"a", -2}, {"c", 1.5}})});
  EXPECT_EQ(packet.dump(), R"(["x",{"a":-2,"b":1,"c":1.5}])");
  const std::string controls = std::string("\b\t\n\f\r\x01\x1f/\x7f") + "é";
  EXPECT_EQ(Value(controls).dump(), "\"\\b\\t\\n\\f\\r\\u0001\\u001f/\x7f\xc3\xa9\"");
  // Invalid UTF-8 is replaced, never thrown.
  EXPECT_EQ(Value(std::string("a\xff"
                              "b"))
                .dump(-1, ' ', false, Value::error_handler_t::replace),
            "\"a\xef\xbf\xbd"
            "b\"");
  EXPECT_EQ(Value(std::uint64_t{18446744073709551615u}).dump(), "18446744073709551615");
}

}  // namespace
}  // namespace nolv
