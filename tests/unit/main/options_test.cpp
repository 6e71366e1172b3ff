#include "main/options.h"

#include <gtest/gtest.h>

namespace nolv {
namespace {

using Args = std::vector<std::string>;

TEST(Options, ProgramName) {
  EXPECT_EQ(program_name("/usr/bin/nolv"), "nolv");
  EXPECT_EQ(program_name("./build/nolv.exe"), "nolv.exe");
  EXPECT_EQ(program_name("client"), "client");
  EXPECT_EQ(program_name("dir/client/"), "client");
  EXPECT_EQ(program_name("dir/.."), "nolv");
  EXPECT_EQ(program_name("/"), "nolv");
  EXPECT_EQ(program_name(std::nullopt), "nolv");
  EXPECT_EQ(program_name("/bin/n\xff"), "nolv");
}

TEST(Options, LogLevel) {
  EXPECT_EQ(log_level_from_args(Args{}), 3);
  EXPECT_EQ(log_level_from_args(Args{"-v"}), 4);
  EXPECT_EQ(log_level_from_args(Args{"-v", "-v"}), 4);
  EXPECT_EQ(log_level_from_args(Args{"-vv", "-v"}), 5);
  EXPECT_EQ(log_level_from_args(Args{"-v", "-vv"}), 5);
  EXPECT_EQ(log_level_from_args(Args{"-vvv", "--v"}), 3);
}

TEST(Options, HelpWinsOverVersionAndEverythingElse) {
  EXPECT_EQ(early_exit_request(Args{"-h", "--bogus"}), EarlyExit::Help);
  EXPECT_EQ(early_exit_request(Args{"--version", "--help"}), EarlyExit::Help);
  EXPECT_EQ(early_exit_request(Args{"x", "--version"}), EarlyExit::Version);
  EXPECT_EQ(early_exit_request(Args{"-help", "--versions"}), EarlyExit::None);
  EXPECT_EQ(version_text("nolv"), "nolv 0.4.0\n");
  EXPECT_TRUE(help_text("prog").starts_with("usage: prog [OPTIONS] [TARGET]\n\nNolv client:"));
}

TEST(Options, ParseCommandLine) {
  auto ok = parse_command_line(Args{"-v", "--ssl-insecure", "--remote-nolv=/a", "--ssh=ssh -x",
                                    "host:1", "--remote-nolv= ", "--ssh=plink"});
  ASSERT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(ok->target, std::optional<std::string>("host:1"));
  EXPECT_TRUE(ok->ssl_insecure);
  EXPECT_EQ(ok->remote_nolv, std::optional<std::string>(" "));
  EXPECT_EQ(ok->ssh_command, std::optional(std::vector<std::string>{"plink"}));

  auto none = parse_command_line(Args{});
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->target);
  EXPECT_FALSE(none->ssl_insecure);

  struct Case {
    Args args;
    std::string_view message;
  } errors[] = {
      {{"a", "b"}, "more than one target: a and b"},
      {{"-x"}, "unrecognized option -x"},
      {{"--ssh"}, "unrecognized option --ssh"},
      {{"--remote-nolv"}, "unrecognized option --remote-nolv"},
      {{"-"}, "unrecognized option -"},
      {{"--"}, "unrecognized option --"},
      {{"--remote-nolv="}, "--remote-nolv needs the path of the remote nolv"},
      {{"--ssh="}, "--ssh: no command given"},
      {{"--ssh= \t "}, "--ssh: no command given"},
      {{"--ssh=ssh \"x"}, "--ssh: unterminated \" quote in ssh \"x"},
      {{"-x", "a", "b"}, "unrecognized option -x"},  // the first error ends the parse
  };
  for (const auto& c : errors) {
    auto r = parse_command_line(c.args);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.message(), c.message);
  }
}

TEST(Options, SplitCommandWords) {
  struct Case {
    std::string_view value;
    std::vector<std::string> words;
  } cases[] = {
      {"ssh -o 'ProxyCommand=nc %h %p'", {"ssh", "-o", "ProxyCommand=nc %h %p"}},
      {"''", {""}},
      {"a'b c'd", {"ab cd"}},
      {"  ssh\u00a0-v\u3000x  ", {"ssh", "-v", "x"}},
      {"\"it's\" 'say \"hi\"'", {"it's", "say \"hi\""}},
      {"a\xff b", {"a\xff", "b"}},
  };
  for (const auto& c : cases) {
    auto r = split_command_words(c.value);
    ASSERT_TRUE(r.ok()) << c.value << ": " << r.message();
    EXPECT_EQ(*r, c.words) << c.value;
  }
  auto open = split_command_words("ssh 'x");
  ASSERT_FALSE(open.ok());
  EXPECT_EQ(open.message(), "unterminated ' quote in ssh 'x");
}

}  // namespace
}  // namespace nolv
