#include "directory/search.h"

#include <gtest/gtest.h>

#include <climits>

#include "directory_fixture.h"

namespace brindle {
namespace {

using test::ExpectedHeaders;
using test::HttpReply;
using test::HttpScriptedServer;
using test::RefusingPort;
using Shown = test::FakeMessageBox::Shown;

std::string Lines(const SearchResult& r) {
    return r.fileName + "\n" + r.userName + "\n" + r.connection + "\n" + r.length + "\n" + r.ip +
           "\n";
}

const SearchResult kA{"music\\a.mp3", "ann", "DSL,Cable", "1234", "10.0.0.1"};
const SearchResult kB{"b.mp3", "bob", "T1", "99", "10.0.0.2"};
const SearchResult kC{"c d.mp3", "cy", "56K Modem", "7", "10.0.0.3"};
const SearchResult kOld{"old.mp3", "old", "T3", "1", "10.9.9.9"};

class SearchTest : public ::testing::Test, public test::DirectoryFixture {
  protected:
    SearchTest() {
        settings.userName = "ann lee";
        table.Append(kOld);
    }
    SearchQuery Query(std::string maxResults = "100") { return {"a b", "*.mp3", maxResults}; }
    void Run(const SearchQuery& query) { RunSearch(Context(), query, table); }
    void ExpectOldRows() {
        EXPECT_EQ(table.rows(), std::vector<SearchResult>{kOld});
        EXPECT_EQ(table.resultAddresses(), std::vector<std::string>{kOld.ip});
    }
    std::vector<Shown> Error(const std::string& text) { return {{text, MessageIcon::Error}}; }
    std::vector<Shown> Notice(const std::string& text) { return {{text, MessageIcon::None}}; }

    SearchResultsTable table;
};

TEST_F(SearchTest, ReadsResultsInOrderWithTheirAddresses) {
    HttpScriptedServer server(HttpReply("3\n" + Lines(kA) + Lines(kB) + Lines(kC)));
    settings.serverUrl = server.url();
    Run(Query());

    std::string body = "event=onSearch&qs=a+b&max=100&ext=*.mp3&userName=ann+lee";
    EXPECT_EQ(server.requests().at(0), ExpectedHeaders(server.port(), body.size()) + body);
    EXPECT_EQ(table.rows(), (std::vector<SearchResult>{kA, kB, kC}));
    EXPECT_EQ(table.resultAddresses(), (std::vector<std::string>{kA.ip, kB.ip, kC.ip}));
    EXPECT_TRUE(messages.shown().empty());
    EXPECT_EQ(progress.log(),
              (std::vector<std::string>{"open", "status:Sending Query To Server...", "range:100",
                                        "step:1", "status:Dowloading results...",
                                        "status:Downloading Search Results...", "stepit", "stepit",
                                        "stepit", "close"}));
}

TEST_F(SearchTest, TrimsTrailingWhiteSpaceOnly) {
    HttpScriptedServer server(
        "HTTP/1.1 100 Continue\r\n\r\n" +
        HttpReply("2\r\n  two lead  \r\nann \t\r\nDSL,Cable\r\n1234\r\n10.0.0.1\r\n" + Lines(kB)));
    settings.serverUrl = server.url();
    Run(Query());
    EXPECT_EQ(table.rows(), (std::vector<SearchResult>{
                                {"  two lead", "ann", "DSL,Cable", "1234", "10.0.0.1"}, kB}));
    EXPECT_EQ(table.resultAddresses(), (std::vector<std::string>{"10.0.0.1", kB.ip}));
}

TEST_F(SearchTest, MaxIsSentAsTypedAndEmptyQueryStaysEmpty) {
    HttpScriptedServer server(HttpReply("0\n"));
    settings.serverUrl = server.url();
    Run({"", "*.*", "10abc"});
    EXPECT_EQ(server.LastBody(), "event=onSearch&qs=&max=10abc&ext=*.*&userName=ann+lee");
    EXPECT_EQ(progress.log().at(2), "range:10");
}

TEST_F(SearchTest, CountsWithoutResultsEmptyTheTable) {
    for (std::string reply : {HttpReply("0\n"), HttpReply("none\n"), HttpReply("-4\n"),
                              HttpReply("<html>x</html>\n")}) {
        SCOPED_TRACE(reply);
        table.Append(kOld);
        HttpScriptedServer server(reply);
        settings.serverUrl = server.url();
        Run(Query());
        EXPECT_EQ(table.size(), 0u);
        EXPECT_TRUE(table.resultAddresses().empty());
    }
    EXPECT_TRUE(messages.shown().empty());
}

TEST_F(SearchTest, ReplyEndingInsideResultsShowsOneMessageAndKeepsWhatCame) {
    struct Case {
        std::string body;
        std::vector<SearchResult> rows;
        std::string message;
    };
    const std::vector<Case> cases{
        {"3\n" + Lines(kA), {kA}, "Error reading the file name!"},
        {"1000000\n", {}, "Error reading the file name!"},
        {"2\n" + Lines(kA) + "f\n", {kA}, "Error reading the user name!"},
        {"1\nf\nu\n", {}, "Error reading the connection!"},
        {"1\nf\nu\nc\n", {}, "Error reading the length!"},
        {"1\nf\nu\nc\n5\n", {}, "Error reading the ip!"},
        {"1\nf\nu\nc\n5\n10.0.0.4", {{"f", "u", "c", "5", "10.0.0.4"}}, ""},  // last line cut short
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        test::FakeMessageBox box;
        HttpScriptedServer server(HttpReply(c.body));
        settings.serverUrl = server.url();
        RunSearch({settings, box, progress, test::kShortTimeouts}, Query(), table);
        EXPECT_EQ(table.rows(), c.rows);
        EXPECT_EQ(table.resultAddresses().size(), c.rows.size());
        EXPECT_EQ(box.shown(), c.message.empty() ? std::vector<Shown>{} : Error(c.message));
    }
}

TEST_F(SearchTest, InvalidInputSendsNothing) {
    HttpScriptedServer server(HttpReply("0\n"));
    settings.serverUrl = server.url();
    const std::vector<std::pair<SearchQuery, std::vector<Shown>>> cases{
        {{"q", std::nullopt, "100"}, Error("No file type selected!")},
        {{"q", "*.mp3", ""}, Error("No max results entered!")},
        {{"q", "*.mp3", "0"}, Notice("Max results must be greater then zero!")},
        {{"q", "*.mp3", "-5"}, Notice("Max results must be greater then zero!")},
        {{"q", "*.mp3", "abc"}, Notice("Max results must be greater then zero!")},
    };
    for (const auto& [query, expected] : cases) {
        SCOPED_TRACE(query.maxResults);
        test::FakeMessageBox box;
        RunSearch({settings, box, progress, test::kShortTimeouts}, query, table);
        EXPECT_EQ(box.shown(), expected);
    }
    EXPECT_EQ(progress.opened(), 0);
    EXPECT_TRUE(server.requests().empty());
    ExpectOldRows();
}

TEST_F(SearchTest, FailuresBeforeTheCountKeepPreviousRows) {
    const std::vector<std::pair<std::string, std::vector<Shown>>> cases{
        {HttpReply(""), Error("Unable to read the number of results!")},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n",
         Error("Unable to read HTTP response headers!")},
        {"", Error("Unable to read HTTP response headers!")},
    };
    for (const auto& [reply, expected] : cases) {
        SCOPED_TRACE(reply);
        test::FakeMessageBox box;
        HttpScriptedServer server(reply);
        settings.serverUrl = server.url();
        RunSearch({settings, box, progress, test::kShortTimeouts}, Query(), table);
        EXPECT_EQ(box.shown(), expected);
        ExpectOldRows();
    }
}

TEST_F(SearchTest, BadUrlAndUnreachableServer) {
    settings.serverUrl = " http://127.0.0.1/x";
    Run(Query());
    EXPECT_EQ(messages.shown(), Notice("Bad server URL!"));
    EXPECT_EQ(progress.log(), (std::vector<std::string>{"open", "status:Sending Query To Server...",
                                                        "range:100", "step:1", "close"}));

    test::FakeMessageBox box;
    RefusingPort refusing;
    settings.serverUrl = refusing.url();
    RunSearch({settings, box, progress, test::kShortTimeouts}, Query(), table);
    EXPECT_EQ(box.shown(), Notice("Unabel to connect to 127.0.0.1"));
    ExpectOldRows();
}

}  // namespace
}  // namespace brindle
