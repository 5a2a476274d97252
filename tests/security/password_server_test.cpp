// Passwords at rest and in logs: after registrations, failed logins,
// unregistrations and malformed requests, neither the directory server's
// database files nor its log hold a password, in clear or in any of the
// encodings it travels or is logged in.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <mutex>

#include "directory/directory_client.h"
#include "faults/fault_support.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/store/sqlite/sqlite_store.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Long, unlikely texts with the characters that encodings change.
const std::vector<std::string> kPasswords = {"Zq9 unique-PASSWORD/7731!", "s3cr3t+&=%pa55wd~",
                                             "correct horse battery staple 42"};

// Every form a password might take on its way: as typed, form-encoded by
// the client, %-encoded throughout, and as the server prints unusual bytes.
std::vector<std::string> Forms(const std::string& password) {
    std::string percent;
    std::string printable;
    for (unsigned char c : password) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        percent += hex;
        if (c > 0x20 && c < 0x7F && c != '\\') {
            printable += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            printable += hex;
        }
    }
    return {password, UrlEncodeValue(password), percent, printable};
}

// Exchanges that carry passwords, right and wrong, through the client code
// and as raw malformed bodies.
void ExerciseAccounts(const std::string& url) {
    FakeMessageBox messages;
    FakeProgressFactory progress;
    for (std::size_t i = 0; i < kPasswords.size(); ++i) {
        AppSettings settings;
        settings.serverUrl = url;
        settings.userName = "user" + std::to_string(i);
        settings.password = kPasswords[i];
        settings.connection = "T1";
        DirectoryContext context{settings, messages, progress, RequestTimeouts{2000ms, 10000ms}};
        RegistrationState state;
        EXPECT_TRUE(
            RegisterWithServer(context, {{"song" + std::to_string(i) + ".mp3", 10}}, state));
        // The same user with another user's password: refused.
        AppSettings wrong = settings;
        wrong.password = kPasswords[(i + 1) % kPasswords.size()];
        DirectoryContext wrongContext{wrong, messages, progress, context.timeouts};
        EXPECT_FALSE(RegisterWithServer(wrongContext, {}, state));
        EXPECT_FALSE(UnregisterFromServer(wrongContext));
        EXPECT_TRUE(UnregisterFromServer(context));
        EXPECT_TRUE(RegisterWithServer(context, {}, state));
    }
    // Malformed bodies that still hold a password field.
    ServerAddress server;
    ASSERT_TRUE(ParseServerUrl(url, server));
    for (const std::string& body :
         {"event=onRegisterUser&userName=x&password=" + UrlEncodeValue(kPasswords[0]) +
              "&count=%zz",
          "event=onRegisterUser&userName=&password=" + UrlEncodeValue(kPasswords[1]) + "&count=0",
          "event=onRegisterUser&userName=y&password=" + UrlEncodeValue(kPasswords[2]) + "&count=x",
          "event=onNothing&password=" + UrlEncodeValue(kPasswords[0])}) {
        Socket socket = OpenRequestConnection(server, RequestTimeouts{2000ms, 10000ms});
        ASSERT_TRUE(socket);
        // Each is answered with an error status, which the client reads as a failure.
        std::string statusLine;
        EXPECT_TRUE(
            SendAll(socket.fd(), BuildPostHeaders(server, static_cast<long long>(body.size()))) &&
            SendAll(socket.fd(), body) && ReceiveLine(socket.fd(), statusLine));
        EXPECT_EQ(statusLine.rfind("HTTP/1.1 4", 0), 0u) << statusLine;
    }
}

// Every password form that occurs in `bytes` (named by `what`).
void ExpectNoPassword(const std::string& bytes, const std::string& what) {
    for (const std::string& password : kPasswords) {
        for (const std::string& form : Forms(password)) {
            EXPECT_EQ(bytes.find(form), std::string::npos) << what << " holds " << form;
        }
    }
}

void ExpectNoPasswordInFiles(const fs::path& directory) {
    std::size_t seen = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().filename().string().rfind("directory.db", 0) == 0) {
            ExpectNoPassword(ReadWholeFile(entry.path()), entry.path().filename().string());
            ++seen;
        }
    }
    EXPECT_GE(seen, 1u);
}

TEST(PasswordsAtRest, NeitherTheDatabaseNorTheLogHoldsOne) {
    TempDir dir;
    std::mutex lock;
    std::string log;
    {
        ASSERT_TRUE(server::PasswordHasher::Initialize());
        std::string error;
        auto store = server::SqliteStore::Open((dir.path() / "directory.db").string(), error);
        ASSERT_TRUE(store) << error;
        server::PasswordHasher hasher(server::PasswordHasher::Minimum());
        server::EventDispatcher dispatcher(*store, hasher);
        server::HttpServerOptions options;
        options.bindAddress = "127.0.0.1";
        options.port = 0;
        server::DirectoryHttpServer http(dispatcher, options, [&](const std::string& line) {
            std::lock_guard<std::mutex> hold(lock);
            log += line + "\n";
        });
        ASSERT_TRUE(http.Start(error)) << error;
        ExerciseAccounts("http://127.0.0.1:" + std::to_string(http.port()) + "/x");
        http.Stop();
        // While open, the write-ahead log holds the newest pages: look at it too.
        ExpectNoPasswordInFiles(dir.path());
    }
    ExpectNoPasswordInFiles(dir.path());
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_NE(log.find("onRegisterUser"), std::string::npos);  // the log did record them
    ExpectNoPassword(log, "the log");
}

TEST(PasswordsAtRest, TheServerProgramKeepsNoneEither) {
    TempDir dir;
    const auto logPath = dir.path() / "server.log";
    DirectoryProcess server(BRINDLENET_DIRECTORY_BINARY, dir.path() / "directory.db", logPath);
    ASSERT_TRUE(server.Start()) << ReadWholeFile(logPath);
    ExerciseAccounts(server.url());
    ExpectNoPasswordInFiles(dir.path());
    EXPECT_EQ(server.Kill(SIGTERM), 0);
    ExpectNoPasswordInFiles(dir.path());
    std::string log = ReadWholeFile(logPath);
    EXPECT_NE(log.find("onRegisterUser"), std::string::npos);
    ExpectNoPassword(log, "the log");
}

}  // namespace
}  // namespace brindle::test
