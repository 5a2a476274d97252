#include "server/events/event_dispatcher.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/server_test_support.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/test_support.h"

namespace brindle::server {
namespace {

using test::FileEntry;
using test::RegistrationBody;

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PasswordHasher::Initialize();
        std::string error;
        store_ = SqliteStore::Open((dir_.path() / "d.db").string(), error);
        ASSERT_TRUE(store_) << error;
        limits_.maxFilesPerUser = 50;
        dispatcher_ = std::make_unique<EventDispatcher>(*store_, hasher_, limits_);
    }

    EventReply Send(const std::string& body, const std::string& ip = "10.0.0.7") {
        return dispatcher_->Handle({body, ip});
    }
    std::string Register(const std::string& user, const std::string& password,
                         const std::vector<FileEntry>& files, const std::string& ip = "10.0.0.7",
                         const std::string& connection = "DSL,Cable") {
        return Send(RegistrationBody(user, password, connection, files), ip).body;
    }
    std::string Search(const std::string& fields) { return Send("event=onSearch&" + fields).body; }

    brindle::test::TempDir dir_;
    std::unique_ptr<SqliteStore> store_;
    PasswordHasher hasher_{PasswordHasher::Minimum()};
    DirectoryLimits limits_;
    std::unique_ptr<EventDispatcher> dispatcher_;
};

TEST_F(DispatcherTest, RegistrationCreatesThenChecksThePassword) {
    EXPECT_EQ(Register("ann", "secret", {{"a.mp3", 1}}), "OK\n");
    EXPECT_EQ(Register("ann", "wrong", {{"b.mp3", 2}}), "BAD-PASSWORD\n");
    EXPECT_EQ(Register("ann", "secret", {{"c.mp3", 3}}, "10.0.0.8"), "OK\n");
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann").body, "10.0.0.8\n");
    EXPECT_EQ(Search("qs=&max=100&ext=*.mp3&userName=bob"),
              "1\nc.mp3\nann\nDSL,Cable\n3\n10.0.0.8\n");
    // The password is kept only as a salted hash.
    UserRecord user;
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    EXPECT_EQ(user.passwordHash.find("secret"), std::string::npos);
    EXPECT_EQ(user.passwordHash.rfind("$argon2id$", 0), 0u);
}

TEST_F(DispatcherTest, LookupAndUnregisterReplies) {
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann").body, "NOT-REGISTERED\n");
    EXPECT_EQ(Send("event=onLookupUserIP").body, "NOT-REGISTERED\n");
    ASSERT_EQ(Register("ann lee", "pw", {}), "OK\n");
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann+lee").body, "10.0.0.7\n");
    EXPECT_EQ(Send("event=onUnregisterUser&userName=ann+lee&password=nope").body, "BAD-PASSWORD\n");
    EXPECT_EQ(Send("event=onUnregisterUser&userName=zed&password=pw").body, "NOT-REGISTERED\n");
    EXPECT_EQ(Send("event=onUnregisterUser&userName=ann+lee&password=pw").body, "OK\n");
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann+lee").body, "NOT-LOGGED-IN\n");
    EXPECT_EQ(Send("event=onUnregisterUser&userName=ann+lee&password=pw").body, "OK\n");
}

TEST_F(DispatcherTest, SearchReplyFormatAndMaximum) {
    std::vector<FileEntry> files;
    for (int i = 0; i < 30; ++i) {
        files.push_back({"dir\\track" + std::to_string(i) + ".mp3", 1000 + i});
    }
    files.push_back({"big.iso", 5000000000LL});
    ASSERT_EQ(Register("ann", "pw", files), "OK\n");
    EXPECT_EQ(Search("qs=track7&max=100&ext=*.mp3&userName=bob"),
              "1\ndir\\track7.mp3\nann\nDSL,Cable\n1007\n10.0.0.7\n");
    EXPECT_EQ(Search("qs=BIG&max=1&ext=*.*&userName=bob"),
              "1\nbig.iso\nann\nDSL,Cable\n5000000000\n10.0.0.7\n");
    EXPECT_EQ(Search("qs=track&max=100&ext=*.mp3&userName=ann"), "0\n");  // own files left out
    auto count = [&](const std::string& max) {
        return std::stoi(Search("qs=&max=" + max + "&ext=*.*&userName=bob"));
    };
    EXPECT_EQ(count("10abc"), 10);
    EXPECT_EQ(count("3"), 3);
    EXPECT_EQ(count("0"), 31);  // 0, negative or no number: the default of 100
    EXPECT_EQ(count("-5"), 31);
    EXPECT_EQ(count("abc"), 31);
    EXPECT_EQ(Search("qs=&ext=*.*&userName=bob").substr(0, 3), "31\n");
    std::string reply = Search("qs=&max=100&ext=*.*");
    EXPECT_EQ(reply.find('\r'), std::string::npos);
    EXPECT_EQ(std::count(reply.begin(), reply.end(), '\n'), 1 + 31 * 5);
}

TEST_F(DispatcherTest, ResultsAreCappedAtOneThousand) {
    limits_.maxFilesPerUser = 1500;
    dispatcher_ = std::make_unique<EventDispatcher>(*store_, hasher_, limits_);
    std::vector<FileEntry> files;
    for (int i = 0; i < 1200; ++i) {
        files.push_back({"f" + std::to_string(i), i});
    }
    ASSERT_EQ(Register("ann", "pw", files), "OK\n");
    EXPECT_EQ(Search("qs=&max=5000&ext=*.*&userName=bob").substr(0, 5), "1000\n");
}

TEST_F(DispatcherTest, MalformedRequestsGetOneLine400) {
    struct Case {
        std::string body;
        std::string reply;
    };
    std::string longName(1023, 'n');
    std::vector<Case> cases{
        {"event=onDelete&userName=ann", "UNKNOWN-EVENT\n"},
        {"userName=ann", "UNKNOWN-EVENT\n"},
        {"", "UNKNOWN-EVENT\n"},
        {"event=onsearch", "UNKNOWN-EVENT\n"},
        {"event=onSearch&qs=%G0", "BAD-REQUEST\n"},
        {"event=onSearch&qs=&ext=" + std::string(65, '*'), "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p", "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=x", "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=-1", "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=2&file0=a&size0=1", "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=1&file0=a&size0=1x", "BAD-REQUEST\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=51", "TOO-MANY-FILES\n"},
        {"event=onRegisterUser&userName=&password=p&count=0", "BAD-USER-NAME\n"},
        {"event=onRegisterUser&userName=a%0Ab&password=p&count=0", "BAD-USER-NAME\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=1&file0=a%0Ab&size0=1",
         "BAD-FILE-NAME\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=1&file0=a%00b&size0=1",
         "BAD-FILE-NAME\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=1&file0=&size0=1", "BAD-FILE-NAME\n"},
        {"event=onRegisterUser&userName=ann&password=p&count=1&file0=" + longName + "&size0=1",
         "BAD-FILE-NAME\n"},
        {"event=onRegisterUser&userName=ann&password=p&connection=a%0Ab&count=0", "BAD-REQUEST\n"},
    };
    for (const auto& c : cases) {
        EventReply reply = Send(c.body);
        EXPECT_EQ(reply.status, 400) << c.body.substr(0, 80);
        EXPECT_EQ(reply.body, c.reply) << c.body.substr(0, 80);
    }
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann").body, "NOT-REGISTERED\n");
    // The longest name a client can read back in one line is accepted.
    EXPECT_EQ(Register("ann", "p", {{std::string(1022, 'n'), 1}}), "OK\n");
}

// How a registration's count, sizes and file keys are read: plain decimal
// numbers of at most 18 digits, '-' only for sizes, keys without leading zeros.
struct NumberCase {
    const char* label;
    std::string fields;  // after the event, user name and password
    const char* reply;
    const char* storedSize = nullptr;  // the size a search then lists, when one is stored
};

class RegistrationNumbers : public DispatcherTest,
                            public ::testing::WithParamInterface<NumberCase> {};

TEST_P(RegistrationNumbers, AreReadExactly) {
    const NumberCase& c = GetParam();
    EventReply reply = Send("event=onRegisterUser&userName=ann&password=p&" + c.fields);
    EXPECT_EQ(reply.body, c.reply);
    EXPECT_EQ(reply.status, std::string(c.reply) == "OK\n" ? 200 : 400);
    if (c.storedSize != nullptr) {
        EXPECT_EQ(Search("qs=&ext=*.*&userName=bob"),
                  std::string("1\na\nann\n\n") + c.storedSize + "\n10.0.0.7\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegistrationNumbers,
    ::testing::Values(
        NumberCase{"CountWithLeadingZeros", "count=00", "OK\n"},
        NumberCase{"CountOfEighteenDigits", "count=" + std::string(18, '0'), "OK\n"},
        NumberCase{"CountOfNineteenDigits", "count=" + std::string(19, '0'), "BAD-REQUEST\n"},
        NumberCase{"CountWithPlus", "count=%2B0", "BAD-REQUEST\n"},
        NumberCase{"CountWithMinus", "count=-0", "BAD-REQUEST\n"},
        NumberCase{"CountAfterBlank", "count=%200", "BAD-REQUEST\n"},
        NumberCase{"NegativeZeroSize", "count=1&file0=a&size0=-0", "OK\n", "0"},
        NumberCase{"LargestSize", "count=1&file0=a&size0=999999999999999999", "OK\n",
                   "999999999999999999"},
        NumberCase{"SizeWithLeadingZeros", "count=1&file0=a&size0=-007", "OK\n", "-7"},
        NumberCase{"SizeOfNineteenDigits", "count=1&file0=a&size0=1000000000000000000",
                   "BAD-REQUEST\n"},
        NumberCase{"NegativeSizeOfNineteenDigits", "count=1&file0=a&size0=-0000000000000000001",
                   "BAD-REQUEST\n"},
        NumberCase{"SizeWithPlus", "count=1&file0=a&size0=%2B1", "BAD-REQUEST\n"},
        NumberCase{"SizeOfMinusOnly", "count=1&file0=a&size0=-", "BAD-REQUEST\n"},
        NumberCase{"FileKeyWithLeadingZero", "count=1&file00=a&size0=1", "BAD-REQUEST\n"},
        NumberCase{"SizeKeyWithLeadingZero", "count=1&file0=a&size00=1", "BAD-REQUEST\n"},
        NumberCase{"KeysBeyondTheCountAreIgnored", "count=1&file0=a&size0=3&file1=b&size1=x",
                   "OK\n", "3"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DispatcherTest, RegistrationWithoutIpv4AddressIsRefused) {
    EventReply reply = Send(RegistrationBody("ann", "pw", "", {{"a.mp3", 1}}), "");
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body, "NO-IPV4-ADDRESS\n");
    EXPECT_EQ(Send("event=onLookupUserIP&userName=ann").body, "NOT-REGISTERED\n");
}

TEST_F(DispatcherTest, LogTextNeverHoldsThePassword) {
    std::vector<std::string> outcomes;
    for (const std::string& body :
         {RegistrationBody("ann", "hunter2", "", {}), RegistrationBody("ann", "hunter3", "", {}),
          std::string("event=onUnregisterUser&userName=ann&password=hunter2"),
          std::string("event=onRegisterUser&userName=ann&password=hunter2&count=q"),
          std::string("event=onFoo&password=hunter2")}) {
        EventReply reply = Send(body);
        outcomes.push_back(reply.event + " " + reply.outcome);
    }
    for (const auto& text : outcomes) {
        EXPECT_EQ(text.find("hunter"), std::string::npos) << text;
    }
    EXPECT_EQ(outcomes[1].substr(0, 14), "onRegisterUser");
}

TEST_F(DispatcherTest, FieldsInAnyOrderAndFirstOfDuplicatesCount) {
    EXPECT_EQ(Send("size1=2&file1=b.mp3&count=2&password=pw&file0=a.mp3&event=onRegisterUser&"
                   "size0=1&userName=ann&file0=ignored.mp3")
                  .body,
              "OK\n");
    EXPECT_EQ(Search("qs=mp3&max=9&ext=*.*&userName=bob"),
              "2\na.mp3\nann\n\n1\n10.0.0.7\nb.mp3\nann\n\n2\n10.0.0.7\n");
}

// Registrations of one new name racing each other: exactly one password wins,
// every attempt with it succeeds and every other one is told BAD-PASSWORD.
TEST_F(DispatcherTest, RacingFirstRegistrationsAgreeOnOnePassword) {
    constexpr int kThreads = 8;
    std::vector<std::string> replies(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            replies[i] =
                Register("ann", "pw" + std::to_string(i % 2), {{"f" + std::to_string(i), i}});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    UserRecord user;
    ASSERT_EQ(store_->FindUser("ann", user), StoreStatus::Ok);
    int winner = hasher_.Verify(user.passwordHash, "pw0") ? 0 : 1;
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(replies[i], i % 2 == winner ? "OK\n" : "BAD-PASSWORD\n") << i;
    }
    EXPECT_EQ(store_->FileCount(), 1);
}

}  // namespace
}  // namespace brindle::server
