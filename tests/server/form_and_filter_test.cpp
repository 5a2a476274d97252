#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "server/events/event_dispatcher.h"
#include "server/events/form_data.h"
#include "server/store/name_filter.h"

namespace brindle::server {
namespace {

std::vector<std::pair<std::string, std::string>> Decoded(const std::string& body) {
    FormData form;
    EXPECT_EQ(form.Decode(body, 100), FormData::Status::Ok) << body;
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [key, value] : form.fields()) {
        out.emplace_back(key, value);
    }
    return out;
}

TEST(FormData, DecodesPlusEscapesAndOddPieces) {
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Decoded("event=onSearch&qs=a+b&ext=*.mp3"),
              (Fields{{"event", "onSearch"}, {"qs", "a b"}, {"ext", "*.mp3"}}));
    EXPECT_EQ(Decoded("name=music%5Ca+b.mp3&c=DSL%2cCable&p=50%25"),
              (Fields{{"name", "music\\a b.mp3"}, {"c", "DSL,Cable"}, {"p", "50%"}}));
    // Bytes the client leaves unescaped, an '=' inside a value, empty pieces,
    // a key without '=' and an escaped NUL all come through as sent.
    EXPECT_EQ(Decoded("a=x=y&&b&c=&d=%00%FF\xE9&"),
              (Fields{{"a", "x=y"}, {"b", ""}, {"c", ""}, {"d", std::string("\0\xFF\xE9", 3)}}));
    EXPECT_TRUE(Decoded("").empty());
}

TEST(FormData, RefusesMalformedEscapesAndTooManyFields) {
    FormData form;
    for (const char* bad : {"a=%", "a=%4", "a=%zz", "a=%G1", "%=1", "a=1&b=%2"}) {
        EXPECT_EQ(form.Decode(bad, 100), FormData::Status::BadEscape) << bad;
    }
    EXPECT_EQ(form.Decode("a=1&b=2&c=3", 2), FormData::Status::TooManyFields);
    ASSERT_EQ(form.Decode("k=first&k=second", 10), FormData::Status::Ok);
    ASSERT_NE(form.Find("k"), nullptr);
    EXPECT_EQ(*form.Find("k"), "first");
    EXPECT_EQ(form.Find("missing"), nullptr);
}

TEST(NameFilter, SubstringIgnoresAsciiCaseOnly) {
    EXPECT_TRUE(NameFilter("BEATLES", "").Matches("music\\the beatles - help.mp3"));
    EXPECT_TRUE(NameFilter("", "*.*").Matches("anything"));
    EXPECT_FALSE(NameFilter("beatles", "").Matches("beatle"));
    // Bytes beyond ASCII compare exactly (names may be Latin-1 or UTF-8).
    EXPECT_TRUE(NameFilter("caf\xC3\xA9", "").Matches("CAF\xC3\xA9.txt"));
    EXPECT_FALSE(NameFilter("caf\xC3\xA9", "").Matches("caf\xC3\x89.txt"));
    EXPECT_FALSE(NameFilter(std::string("a\0b", 3), "").Matches("ab"));
}

TEST(NameFilter, GlobMatchesWholeNameIgnoringCase) {
    EXPECT_TRUE(GlobMatchesIgnoringCase("*.mp3", "dir\\Song.MP3"));
    EXPECT_FALSE(GlobMatchesIgnoringCase("*.mp3", "song.mp3.txt"));
    EXPECT_TRUE(GlobMatchesIgnoringCase("*.*", "README"));  // every name, with a dot or not
    EXPECT_TRUE(GlobMatchesIgnoringCase("", "README"));
    EXPECT_TRUE(GlobMatchesIgnoringCase("track??.ogg", "TRACK07.ogg"));
    EXPECT_FALSE(GlobMatchesIgnoringCase("track??.ogg", "track7.ogg"));
    EXPECT_TRUE(GlobMatchesIgnoringCase("*a*b*c", "xxaxxbxxc"));
    EXPECT_FALSE(GlobMatchesIgnoringCase("*a*b*c", "xxaxxcxxb"));
    EXPECT_TRUE(GlobMatchesIgnoringCase("[ab].txt", "[AB].txt"));  // brackets are plain bytes
}

TEST(NameFilter, HostilePatternsStayFast) {
    std::string name(1022, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) {
        pattern += "*a";
    }
    pattern += "*b";
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(GlobMatchesIgnoringCase(pattern, name));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(NameFilter, TrigramsComeFromAsciiRunsEveryMatchContains) {
    auto texts = [](const NameFilter& filter) {
        std::vector<std::string> out;
        for (TrigramKey key : filter.trigrams()) {
            out.push_back(TrigramText(key));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    using Texts = std::vector<std::string>;
    EXPECT_EQ(texts(NameFilter("BeaT", "*.mp3")), (Texts{".mp", "bea", "eat", "mp3"}));
    EXPECT_EQ(texts(NameFilter("ab", "*.*")), Texts{});
    EXPECT_EQ(texts(NameFilter("", "a?cde*")), (Texts{"cde"}));
    EXPECT_EQ(texts(NameFilter("aaaa", "")), (Texts{"aaa"}));
    // Bytes beyond ASCII end a run: the index folds their case its own way.
    EXPECT_EQ(texts(NameFilter("caf\xC3\xA9 au", "")), (Texts{" au", "caf"}));
    EXPECT_EQ(texts(NameFilter("x\xC3\xA9y", "")), Texts{});
}

}  // namespace
}  // namespace brindle::server
