#include "util/text.h"

#include <gtest/gtest.h>

#include <string>

namespace nolv {
namespace {

TEST(AsciiCase, OnlyAsciiLettersAreLowerCased) {
  EXPECT_EQ(ascii_lowercase("Ssh.EXE"), "ssh.exe");
  EXPECT_EQ(ascii_lowercase("@[`{ 09"), "@[`{ 09");  // the bytes beside A-Z and a-z
  // UTF-8 bytes stay as they are, so "É" is not turned into another sequence.
  EXPECT_EQ(ascii_lowercase("\xC3\x89T\xC3\xA9"), "\xC3\x89t\xC3\xA9");
  EXPECT_EQ(ascii_lowercase(""), "");
}

TEST(AsciiCase, Equality) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  for (const Case& c :
       {Case{"Sec-WebSocket-Accept", "sec-websocket-accept", true}, Case{"SSH", "ssh", true},
        Case{"ssh", "sshx", false}, Case{"\xC3\x89", "\xC3\xA9", false}, Case{"[", "{", false},
        Case{"", "", true}})
    EXPECT_EQ(equals_ignoring_ascii_case(c.a, c.b), c.equal) << c.a << " ~ " << c.b;
}

}  // namespace
}  // namespace nolv
