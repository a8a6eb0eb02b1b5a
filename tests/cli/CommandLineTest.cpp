// The command line of norvane-cli: where options may stand, what takes a value, and that a
// mistake is refused with a reason (and without repeating a password offered by mistake).

#include "cli/CommandLine.h"

#include <gtest/gtest.h>

namespace norvane::cli {
namespace {

CommandLine::Result parse(std::vector<std::string> words)
{
    return CommandLine::parse(words);
}

TEST(CommandLine, OptionsStandAnywhereAndTakeTheirValueFromTheNextWordOrAfterAnEqualsSign)
{
    const auto a = parse({ "--home", "/h", "--json", "share", "my:/a", "--days=3", "--count", "4", "--yes" });
    ASSERT_TRUE(a.ok()) << a.error;
    EXPECT_EQ(a.invocation.command, "share");
    EXPECT_EQ(a.invocation.home, "/h");
    EXPECT_TRUE(a.invocation.json);
    EXPECT_EQ(a.invocation.answers, AnswerPolicy::Yes);
    EXPECT_EQ(a.invocation.arguments, std::vector<std::string>({ "my:/a" }));
    EXPECT_EQ(a.invocation.value("days"), "3");
    EXPECT_EQ(a.invocation.value("count"), "4");

    // A value is never mistaken for the command, and a value may look like an option.
    const auto b = parse({ "--days", "-1", "share", "my:/a" });
    ASSERT_TRUE(b.ok()) << b.error;
    EXPECT_EQ(b.invocation.command, "share");
    EXPECT_EQ(b.invocation.value("days"), "-1");

    // "--" ends the options: what follows are arguments, however they look.
    const auto c = parse({ "rm", "--no", "--", "--json", "-x" });
    ASSERT_TRUE(c.ok()) << c.error;
    EXPECT_FALSE(c.invocation.json);
    EXPECT_EQ(c.invocation.answers, AnswerPolicy::No);
    EXPECT_EQ(c.invocation.arguments, std::vector<std::string>({ "--json", "-x" }));

    const auto d = parse({ "search", "shared:/", "Ann", "--author" });
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(d.invocation.has("author"));
    EXPECT_FALSE(d.invocation.has("json"));
}

TEST(CommandLine, MistakesAreRefusedWithAReasonAndTheJsonWishIsStillKnown)
{
    struct Case {
        std::vector<std::string> words;
        std::string reason;
    };
    const std::vector<Case> cases {
        { { "frobnicate" }, "unknown command" },
        { { "ls", "--days", "3" }, "unknown option --days for ls" },
        { { "ls", "-l" }, "unknown option -l" },
        { { "share", "my:/a", "--days" }, "--days needs a value" },
        { { "get", "--json=yes", "my:/a" }, "--json takes no value" },
        { { "rm" }, "usage: norvane-cli rm PATH..." },
        { { "rename", "my:/a", "b", "c" }, "usage: norvane-cli rename PATH NEWNAME" },
        { { "ls", "--yes", "--no" }, "--yes and --no exclude each other" },
        { { "share", "my:/a", "--days", "1", "--days", "2" }, "--days given twice" },
        { { "--home=", "ls" }, "--home needs a folder" },
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = c.words;
        words.insert(words.begin(), "--json");
        const auto result = parse(words);
        EXPECT_FALSE(result.ok()) << c.reason;
        EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
        EXPECT_TRUE(result.invocation.json);
    }
    // A password given where none is taken is refused without being repeated.
    for (const auto& words : std::vector<std::vector<std::string>> {
             { "login", "acme", "ann", "--password", "s3cret" }, { "config", "--proxy-pass", "s3cret" } }) {
        const auto result = parse(words);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.error.find("s3cret"), std::string::npos) << result.error;
    }
}

TEST(CommandLine, HelpAndVersionNeedNoCommandButNothingAtAllIsAMistake)
{
    for (const auto& line : { std::vector<std::string> {}, std::vector<std::string> { "--json" } }) {
        const auto nothing = parse(line);
        EXPECT_FALSE(nothing.ok());
        EXPECT_EQ(nothing.error, "no command given");
        EXPECT_FALSE(nothing.invocation.help);
    }
    EXPECT_TRUE(parse({ "--json" }).invocation.json);
    EXPECT_TRUE(parse({ "-h" }).ok());
    EXPECT_TRUE(parse({ "-h" }).invocation.help);
    const auto topic = parse({ "help", "get" });
    ASSERT_TRUE(topic.ok());
    EXPECT_TRUE(topic.invocation.help);
    EXPECT_EQ(topic.invocation.arguments, std::vector<std::string>({ "get" }));
    // Help for a command does not insist on the command's arguments.
    EXPECT_TRUE(parse({ "put", "--help" }).ok());
    const auto version = parse({ "--version" });
    EXPECT_TRUE(version.invocation.version);
    EXPECT_FALSE(version.invocation.help);
}

TEST(CommandLine, HostAndPortAcceptNamesAddressesAndBracketedV6Only)
{
    EXPECT_EQ(CommandLine::hostAndPort("storage.example:443"), std::pair(std::string("storage.example"), 443));
    EXPECT_EQ(CommandLine::hostAndPort("127.0.0.1:8080"), std::pair(std::string("127.0.0.1"), 8080));
    EXPECT_EQ(CommandLine::hostAndPort("[::1]:65535"), std::pair(std::string("::1"), 65535));
    for (const char* bad : { "host", "host:", ":80", "host:0", "host:65536", "host:8o", "::1:443", "[::1]443", "[::1",
             "a b:80", "user@host:80", "host/x:80", "host:+80" })
        EXPECT_FALSE(CommandLine::hostAndPort(bad).has_value()) << bad;
    EXPECT_EQ(CommandLine::number("30", 1, 30), 30);
    EXPECT_FALSE(CommandLine::number("31", 1, 30).has_value());
    EXPECT_FALSE(CommandLine::number("", 1, 30).has_value());
    EXPECT_FALSE(CommandLine::number("2x", 1, 30).has_value());
}

} // namespace
} // namespace norvane::cli
