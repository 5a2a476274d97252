#include <gtest/gtest.h>

#include "headless/headless_cli.h"

namespace brindle {
namespace {

HeadlessCommand Parse(const std::vector<std::string>& arguments) {
    HeadlessCommand command;
    std::string error;
    EXPECT_TRUE(ParseHeadlessArguments(arguments, command, error)) << error;
    return command;
}

std::string ErrorOf(const std::vector<std::string>& arguments) {
    HeadlessCommand command;
    std::string error;
    EXPECT_FALSE(ParseHeadlessArguments(arguments, command, error));
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

TEST(HeadlessArguments, ReadEveryCommandWithItsOptions) {
    EXPECT_EQ(Parse({"serve"}).kind, HeadlessCommandKind::Serve);

    HeadlessCommand search = Parse({"search", "a b", "--ext", "*.mp3", "--max=10abc"});
    EXPECT_EQ(search.kind, HeadlessCommandKind::Search);
    EXPECT_EQ(search.query, "a b");
    EXPECT_EQ(search.extension, "*.mp3");
    EXPECT_EQ(search.maxResults, "10abc");

    HeadlessCommand defaults = Parse({"search", ""});
    EXPECT_EQ(defaults.query, "");
    EXPECT_EQ(defaults.extension, "*.*");
    EXPECT_EQ(defaults.maxResults, "100");

    HeadlessCommand get = Parse({"get", "--pick", "3", "song", "--overwrite"});
    EXPECT_EQ(get.kind, HeadlessCommandKind::Get);
    EXPECT_EQ(get.query, "song");
    EXPECT_EQ(get.pick, 3);
    EXPECT_TRUE(get.overwrite);

    HeadlessCommand send = Parse({"send", "bob", "--", "-) hi"});
    EXPECT_EQ(send.kind, HeadlessCommandKind::Send);
    EXPECT_EQ(send.user, "bob");
    EXPECT_EQ(send.text, "-) hi");
}

TEST(HeadlessArguments, ValuesArriveAsTyped) {
    HeadlessCommand search = Parse({"search", "[a,b]", "--ext=", "--max", "[1]"});
    EXPECT_EQ(search.query, "[a,b]");
    EXPECT_EQ(search.extension, "");
    EXPECT_EQ(search.maxResults, "[1]");
    EXPECT_EQ(Parse({"search", "x", "--ext", "a", "--ext", "b"}).extension, "b");
    HeadlessCommand send = Parse({"send", "{}", "--", "--max="});
    EXPECT_EQ(send.user, "{}");
    EXPECT_EQ(send.text, "--max=");
    EXPECT_EQ(Parse({"send", "bob", "--", "--"}).text, "--");  // the second "--" is TEXT
    EXPECT_NE(ErrorOf({"send", "bob", "--", "a", "b"}).find("USER and TEXT"), std::string::npos);
    EXPECT_NE(ErrorOf({"search", "-5"}).find("unknown option '-5'"), std::string::npos);
}

TEST(HeadlessArguments, HelpIsOfferedEverywhere) {
    EXPECT_EQ(Parse({"--help"}).kind, HeadlessCommandKind::Help);
    HeadlessCommand help = Parse({"get", "x", "--help"});
    EXPECT_EQ(help.kind, HeadlessCommandKind::Help);
    EXPECT_EQ(help.helpFor, "get");
    EXPECT_NE(HeadlessUsage("get").find("--pick K"), std::string::npos);
    for (const char* name : {"serve", "search", "get", "send"}) {
        EXPECT_NE(HeadlessUsage().find(std::string("brindlenet-peer ") + name), std::string::npos);
    }
}

TEST(HeadlessArguments, AWrongArgumentIsOneClearLine) {
    EXPECT_NE(ErrorOf({}).find("command"), std::string::npos);
    EXPECT_NE(ErrorOf({"fetch"}).find("unknown command 'fetch'"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "now"}).find("serve takes no arguments"), std::string::npos);
    EXPECT_NE(ErrorOf({"search"}).find("QUERY"), std::string::npos);
    EXPECT_NE(ErrorOf({"search", "a", "b"}).find("QUERY"), std::string::npos);
    EXPECT_NE(ErrorOf({"search", "a", "--pick", "1"}).find("unknown option '--pick'"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"search", "a", "--max"}).find("--max needs a value"), std::string::npos);
    EXPECT_NE(ErrorOf({"get", "a"}).find("--pick"), std::string::npos);
    // Only plain digits are a number: no sign, no blanks, nothing beyond the range.
    for (const char* wrong : {"0", "2x", "+3", " 3", "3 ", "", "99999999999999999999"}) {
        EXPECT_EQ(ErrorOf({"get", "a", "--pick", wrong}),
                  std::string("--pick needs a result number from 1 up, not '") + wrong + "'")
            << wrong;
    }
    EXPECT_NE(ErrorOf({"send", "bob"}).find("USER and TEXT"), std::string::npos);
}

TEST(HeadlessArguments, GetTakesARateLimitOfItsOwn) {
    EXPECT_EQ(Parse({"get", "song", "--pick", "1"}).limitKiB, 0);
    EXPECT_EQ(Parse({"get", "song", "--pick", "1", "--limit", "64"}).limitKiB, 64);
    EXPECT_EQ(Parse({"get", "song", "--pick", "1", "--limit=0"}).limitKiB, 0);
    EXPECT_EQ(Parse({"get", "song", "--pick", "1", "--limit", "4194304"}).limitKiB, 4194304);
    for (const char* wrong : {"-1", "64k", "", "+64", " 64", "4194305", "99999999999999999999"}) {
        EXPECT_NE(ErrorOf({"get", "song", "--pick", "1", "--limit", wrong})
                      .find("--limit needs a rate in KiB/s from 0 to 4194304"),
                  std::string::npos)
            << wrong;
    }
    EXPECT_NE(ErrorOf({"get", "song", "--pick", "1", "--limit"}).find("--limit needs a value"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"search", "song", "--limit", "5"}).find("unknown option '--limit'"),
              std::string::npos);
    EXPECT_NE(HeadlessUsage("get").find("[--limit KIB]"), std::string::npos);
    EXPECT_NE(HeadlessUsage().find("[--limit KIB]"), std::string::npos);
    EXPECT_NE(HeadlessUsage("serve").find("preferences.conf"), std::string::npos);
}

}  // namespace
}  // namespace brindle
