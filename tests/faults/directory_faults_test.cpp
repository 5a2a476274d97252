// A directory server that closes, stalls or answers garbage at each step of
// each of the four events, driven through the application's own request code
// with short time limits: the user sees the event's failure message (or, where
// the event is silent, nothing), earlier search results stay unless the reply
// got as far as its count, no progress window stays open, and nothing hangs.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "app/share_app.h"
#include "directory/directory_fixture.h"
#include "faults/fault_support.h"
#include "peer/instant_message.h"

namespace brindle::test {
namespace {

using namespace std::chrono_literals;

constexpr RequestTimeouts kFaultTimeouts{2000ms, 300ms};
// A trickle never trips the idle limit: the limit on the whole request ends it.
constexpr RequestTimeouts kTrickleTimeouts{2000ms, 300ms, 600ms};
// A stall costs one idle limit per read that waits; anything near this is a hang.
constexpr auto kNoHang = 5s;

enum class Event { Register, Unregister, Lookup, Search };

const char* EventName(Event event) {
    switch (event) {
        case Event::Register:
            return "Register";
        case Event::Unregister:
            return "Unregister";
        case Event::Lookup:
            return "Lookup";
        case Event::Search:
            return "Search";
    }
    return "?";
}

// The first part of a well-formed reply body: the server breaks off after it.
std::string PartialBody(Event event) {
    switch (event) {
        case Event::Register:
        case Event::Unregister:
            return "OK";
        case Event::Lookup:
            return "NOT-LOG";
        case Event::Search:
            return "2\nsong.mp3\nann\n";
    }
    return "";
}

// One copy of the application, configured for `serverUrl`, with a shared
// directory of one file.
struct App {
    TempDir dir;
    FakeMessageBox messages;
    FakeProgressFactory progress;
    std::unique_ptr<CShareApp> app;

    explicit App(const std::string& serverUrl) {
        dir.WriteFile("share/song.mp3", "0123456789");
        dir.WriteFile("config.txt", serverUrl + "\nann\n" + dir.str() + "/share\nDSL,Cable\npw\n");
        app = std::make_unique<CShareApp>(UiPorts{&messages, &progress, nullptr},
                                          dir.str() + "/config.txt");
        app->SetRequestTimeouts(kFaultTimeouts);
        app->BeginStartUp();
    }

    // Every progress window that was opened has been closed again.
    bool ProgressClosed() const {
        auto log = progress.log();
        return std::count(log.begin(), log.end(), "open") ==
               std::count(log.begin(), log.end(), "close");
    }
};

const SearchResult kEarlierRow{"old.mp3", "zed", "T1", "5", "10.0.0.9"};

SearchQuery Query() {
    return SearchQuery{"song", std::string("*.mp3"), "100"};
}

struct Case {
    Event event;
    FaultPoint point;
    Fault fault;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(EventName(info.param.event)) + "_" + FaultPointName(info.param.point) + "_" +
           FaultName(info.param.fault);
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (Event event : {Event::Register, Event::Unregister, Event::Lookup, Event::Search}) {
        for (FaultPoint point :
             {FaultPoint::OnAccept, FaultPoint::MidRequest, FaultPoint::AfterRequest,
              FaultPoint::MidStatus, FaultPoint::MidHeaders, FaultPoint::AfterHeaders,
              FaultPoint::MidBody}) {
            for (Fault fault : {Fault::Close, Fault::Stall, Fault::Garbage}) {
                cases.push_back({event, point, fault});
            }
            // Once the request is in, a trickle can hold every step of the reply.
            if (point != FaultPoint::OnAccept && point != FaultPoint::MidRequest) {
                cases.push_back({event, point, Fault::Trickle});
            }
        }
    }
    return cases;
}

bool BeforeReplyBody(FaultPoint point) {
    return point != FaultPoint::AfterHeaders && point != FaultPoint::MidBody;
}

bool BeforeRequestRead(FaultPoint point) {
    return point == FaultPoint::OnAccept || point == FaultPoint::MidRequest;
}

class DirectoryServerFaults : public ::testing::TestWithParam<Case> {};

TEST_P(DirectoryServerFaults, UserSeesTheFailureAndNothingHangs) {
    const Case c = GetParam();
    FaultyDirectoryServer server(c.point, c.fault, PartialBody(c.event));
    App a(server.url());
    if (c.fault == Fault::Trickle) {
        a.app->SetRequestTimeouts(kTrickleTimeouts);
    }
    // Loading scans the shared directory; what follows is the event alone.
    Stopwatch watch;

    switch (c.event) {
        case Event::Register: {
            ASSERT_TRUE(a.app->LoadSettingsAndRegister());
            EXPECT_EQ(a.messages.texts(),
                      std::vector<std::string>{"Unable to register with server!"});
            EXPECT_FALSE(a.app->registered());
            EXPECT_TRUE(a.app->registrationAttempted());
            break;
        }
        case Event::Unregister: {
            a.app->LoadSettings();
            EXPECT_FALSE(a.app->UnregisterFromServer());
            EXPECT_TRUE(a.messages.texts().empty());
            break;
        }
        case Event::Lookup: {
            a.app->LoadSettings();
            RefusingPort nobody;  // where a garbled address would lead
            PeerOptions options;
            options.port = std::stoi(nobody.url().substr(nobody.url().rfind(':') + 1));
            options.requestTimeout = 1s;
            RecordingDisplay display;
            auto settings = a.app->settings();
            auto lookup = [&](const std::string& user) { return a.app->LookupUserIp(user); };
            MessageContext context{*settings, a.messages, display, lookup, options, {}};
            EXPECT_NE(SendMessageToPeer(context, "bob", "hello"), MessageResult::Sent);
            auto texts = a.messages.texts();
            ASSERT_EQ(texts.size(), 1u);
            if (c.fault == Fault::Close && c.point == FaultPoint::MidBody) {
                // The reply line broke off: what came is taken as the address.
                EXPECT_EQ(texts[0], "Unable to connecto to ip NOT-LOG!");
            } else if (c.fault == Fault::Garbage && !BeforeReplyBody(c.point)) {
                EXPECT_EQ(texts[0].rfind("Unable to connecto to ip ", 0), 0u) << texts[0];
            } else {
                EXPECT_EQ(texts[0], "Unable to lookup user bob's IP address.");
            }
            EXPECT_EQ(display.count(), 0u);
            break;
        }
        case Event::Search: {
            a.app->LoadSettings();
            SearchResultsTable table;
            table.Append(kEarlierRow);
            a.app->RunSearch(Query(), table);
            auto texts = a.messages.texts();
            if (BeforeReplyBody(c.point)) {
                // Nothing of the reply's body came: one message, earlier rows kept.
                std::set<std::string> expected{"Unable to read HTTP response headers!"};
                if (BeforeRequestRead(c.point) && c.fault != Fault::Stall) {
                    // The close may reach the client while it still sends.
                    expected.insert("Unable to wrte request to server!");
                    expected.insert("Error sending request to server!");
                }
                ASSERT_EQ(texts.size(), 1u);
                EXPECT_TRUE(expected.count(texts[0])) << texts[0];
                EXPECT_EQ(table.rows(), std::vector<SearchResult>{kEarlierRow});
            } else if (c.point == FaultPoint::AfterHeaders) {
                if (c.fault == Fault::Garbage) {
                    // A count line without digits counts as no results.
                    EXPECT_TRUE(texts.empty());
                    EXPECT_EQ(table.size(), 0u);
                } else {
                    EXPECT_EQ(texts,
                              std::vector<std::string>{"Unable to read the number of results!"});
                    EXPECT_EQ(table.rows(), std::vector<SearchResult>{kEarlierRow});
                }
            } else if (c.fault == Fault::Garbage) {
                // Garbage lines are read as fields; at most one message ends it.
                ASSERT_LE(texts.size(), 1u);
                if (!texts.empty()) {
                    EXPECT_EQ(texts[0].rfind("Error reading the ", 0), 0u) << texts[0];
                }
                EXPECT_LE(table.size(), 2u);
                EXPECT_EQ(table.rows().front().fileName, "song.mp3");
            } else {
                EXPECT_EQ(texts, std::vector<std::string>{"Error reading the connection!"});
                EXPECT_EQ(table.size(), 0u);
            }
            EXPECT_EQ(table.size(), table.resultAddresses().size());
            break;
        }
    }
    EXPECT_LT(watch.elapsed(), kNoHang);
    EXPECT_TRUE(a.ProgressClosed());
    EXPECT_EQ(server.accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(EveryStep, DirectoryServerFaults, ::testing::ValuesIn(AllCases()),
                         CaseName);

// A reply whose status is an error, or whose body comes in chunks, is no answer,
// even when its body reads like one: each event fails as when the headers
// cannot be read.
struct ErrorCase {
    Event event;
    const char* name;
    std::string reply;
};

std::string ErrorCaseName(const ::testing::TestParamInfo<ErrorCase>& info) {
    return std::string(EventName(info.param.event)) + "_" + info.param.name;
}

std::vector<ErrorCase> ErrorCases() {
    auto answer = [](Event event) -> std::string {
        switch (event) {
            case Event::Register:
            case Event::Unregister:
                return "OK\n";
            case Event::Lookup:
                return "127.0.0.1\n";
            case Event::Search:
                return "1\nsong.mp3\nbob\nT1\n10\n127.0.0.1\n";
        }
        return "";
    };
    std::vector<ErrorCase> cases;
    for (Event event : {Event::Register, Event::Unregister, Event::Lookup, Event::Search}) {
        cases.push_back(
            {event, "NotFound",
             "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n" + answer(event)});
        cases.push_back(
            {event, "ServerError", "HTTP/1.1 500 Internal Server Error\r\n\r\n" + answer(event)});
    }
    // Chunk sizes read as lines: a lookup would take "a" for an address and a
    // search "1e" for a count. (A registration fails on them either way.)
    cases.push_back(
        {Event::Lookup, "Chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\na\r\n127.0.0.1\n\r\n0\r\n\r\n"});
    cases.push_back({Event::Search, "Chunked",
                     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1e\r\n" +
                         answer(Event::Search) + "\r\n0\r\n\r\n"});
    return cases;
}

class DirectoryServerErrorReplies : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DirectoryServerErrorReplies, AreFailuresNotAnswers) {
    const ErrorCase c = GetParam();
    HttpScriptedServer server(c.reply);
    App a(server.url());
    switch (c.event) {
        case Event::Register:
            ASSERT_TRUE(a.app->LoadSettingsAndRegister());
            EXPECT_EQ(a.messages.texts(),
                      std::vector<std::string>{"Unable to register with server!"});
            EXPECT_FALSE(a.app->registered());
            break;
        case Event::Unregister:
            a.app->LoadSettings();
            EXPECT_FALSE(a.app->UnregisterFromServer());
            EXPECT_TRUE(a.messages.texts().empty());
            break;
        case Event::Lookup: {
            a.app->LoadSettings();
            RefusingPort nobody;  // where a wrongly taken address would lead
            PeerOptions options;
            options.port = std::stoi(nobody.url().substr(nobody.url().rfind(':') + 1));
            options.requestTimeout = 1s;
            RecordingDisplay display;
            auto settings = a.app->settings();
            auto lookup = [&](const std::string& user) { return a.app->LookupUserIp(user); };
            MessageContext context{*settings, a.messages, display, lookup, options, {}};
            EXPECT_NE(SendMessageToPeer(context, "bob", "hello"), MessageResult::Sent);
            EXPECT_EQ(a.messages.texts(),
                      std::vector<std::string>{"Unable to lookup user bob's IP address."});
            break;
        }
        case Event::Search: {
            a.app->LoadSettings();
            SearchResultsTable table;
            table.Append(kEarlierRow);
            a.app->RunSearch(Query(), table);
            EXPECT_EQ(a.messages.texts(),
                      std::vector<std::string>{"Unable to read HTTP response headers!"});
            EXPECT_EQ(table.rows(), std::vector<SearchResult>{kEarlierRow});
            EXPECT_EQ(table.resultAddresses(), std::vector<std::string>{kEarlierRow.ip});
            break;
        }
    }
    EXPECT_TRUE(a.ProgressClosed());
}

INSTANTIATE_TEST_SUITE_P(EachEvent, DirectoryServerErrorReplies, ::testing::ValuesIn(ErrorCases()),
                         ErrorCaseName);

// A server that is not there at all.
TEST(DirectoryServerAbsent, EachEventReportsItsOwnWay) {
    RefusingPort port;
    App a(port.url());
    ASSERT_TRUE(a.app->LoadSettingsAndRegister());
    EXPECT_FALSE(a.app->UnregisterFromServer());
    EXPECT_EQ(a.app->LookupUserIp("bob"), kLookupFailed);
    SearchResultsTable table;
    table.Append(kEarlierRow);
    a.app->RunSearch(Query(), table);
    EXPECT_EQ(a.messages.texts(), (std::vector<std::string>{"Unable to register with server!",
                                                            "Unabel to connect to 127.0.0.1"}));
    EXPECT_EQ(table.rows(), std::vector<SearchResult>{kEarlierRow});
    EXPECT_TRUE(a.ProgressClosed());
}

// A server whose accept queue is full never completes the connect: the
// connect limit ends the request.
TEST(DirectoryServerAbsent, ConnectThatNeverCompletesTimesOut) {
    int port = 0;
    Socket listener = ListenOnLoopback(0, port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    // Fill the queue; connects beyond it are left waiting for an answer.
    std::vector<Socket> fillers;
    for (int i = 0; i < 4; ++i) {
        Socket filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        ::connect(filler.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(std::move(filler));
    }

    App a("http://127.0.0.1:" + std::to_string(port) + "/x");
    a.app->SetRequestTimeouts(RequestTimeouts{300ms, 300ms});
    a.app->LoadSettings();
    SearchResultsTable table;
    Stopwatch watch;
    a.app->RunSearch(Query(), table);
    EXPECT_EQ(a.messages.texts(), std::vector<std::string>{"Unabel to connect to 127.0.0.1"});
    EXPECT_LT(watch.elapsed(), kNoHang);
}

}  // namespace
}  // namespace brindle::test
