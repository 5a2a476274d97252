#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/app_commands.h"
#include "app/share_app.h"
#include "base/preferences.h"
#include "headless/console_ports.h"
#include "headless/headless_peer.h"
#include "headless/web_api.h"
#include "headless/web_password.h"
#include "headless/web_server.h"
#include "peer/peer_fixture.h"
#include "support/manual_clock.h"
#include "support/scripted_server.h"
#include "support/web_client.h"

namespace brindle {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr char kPassword[] = "correct horse";

// A web front on loopback over an application whose directory server is a
// scripted stand-in; the clock moves only when a test moves it.
class WebApiTest : public ::testing::Test {
  protected:
    void Start(const std::string& directoryReply = test::HttpReply("0\n"), bool tls = false) {
        directory = std::make_unique<test::HttpScriptedServer>(directoryReply);
        AppSettings settings;
        settings.serverUrl = directory->url();
        settings.userName = "me";
        settings.sharedDirectory = shared.str();
        settings.connection = "T1";
        settings.password = "pw";
        ASSERT_TRUE(WriteConfigFile(home.str() + "/config.txt", settings));
        hash = HashWebPassword(kPassword, PasswordCost::Minimal);
        ASSERT_FALSE(hash.empty());
        ASSERT_TRUE(WritePreferencesValue(preferencesPath(), kWebPasswordHashKey, hash));
        app = std::make_unique<CShareApp>(UiPorts{&box, nullptr, nullptr},
                                          home.str() + "/config.txt", preferencesPath());
        app->LoadSettings();
        (void)app->LoadPreferences();
        WebApiOptions options;
        options.hosts = {"peer.example"};
        options.boundAddress = "127.0.0.1";
        options.tls = tls;
        options.passwordHash = hash;
        options.peer = test::LoopbackOptions();
        options.peer.port = peerPort;
        options.clock = clock.Get();
        options.eventPoll = 20ms;
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> hold(seenLock);
            logged += line + "\n";
        };
        api = std::make_unique<WebApi>(*app, messages, options);
        server =
            std::make_unique<WebServer>(WebServerOptions{"127.0.0.1", 0, "", "", 64, 64 * 1024},
                                        [this](const WebRequest& request) {
                                            WebResponse response = api->Handle(request);
                                            bodies += response.body;
                                            return response;
                                        });
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }
    std::string preferencesPath() const { return home.str() + "/preferences.conf"; }

    test::WebReply Call(test::WebCall call) {
        call.cookie = call.cookie.empty() ? cookie : call.cookie;
        call.token = call.token.empty() ? csrf : call.token;
        return test::Call(server->port(), call);
    }
    test::WebReply Post(const std::string& path, const Json& body = Json::object()) {
        return Call({"POST", "/api/v1/" + path, body.dump()});
    }
    test::WebReply Get(const std::string& path) { return Call({"GET", "/api/v1/" + path}); }
    static Json Body(const test::WebReply& reply) {
        return Json::parse(reply.body, nullptr, false);
    }

    test::WebReply LogIn(const std::string& password = kPassword) {
        test::WebReply reply = test::Call(
            server->port(), {"POST", "/api/v1/login", Json{{"password", password}}.dump()});
        if (reply.status == 200 && !reply.setCookies.empty()) {
            cookie = test::CookiePair(reply.setCookies.front());
            csrf = Body(reply)["csrf"].get<std::string>();
        }
        return reply;
    }

    test::TempDir home;
    test::TempDir shared;
    int peerPort = 0;
    std::ostringstream out;
    std::ostringstream err;
    Console console{out, err};
    ConsoleMessageBox box{console};
    WebMessageLog messages;
    test::ManualSteadyClock clock;
    std::unique_ptr<test::HttpScriptedServer> directory;
    std::unique_ptr<CShareApp> app;
    std::unique_ptr<WebApi> api;
    std::unique_ptr<WebServer> server;
    std::string hash;
    std::string cookie;
    std::string csrf;
    // Every reply body sent and every line logged; written on the server's threads.
    std::mutex seenLock;
    std::string bodies;
    std::string logged;
    std::string Seen(const std::string& which) {
        std::lock_guard<std::mutex> hold(seenLock);
        return which == "bodies" ? bodies : logged;
    }
};

struct Route {
    const char* method;
    const char* path;
};

class WebRouteTest : public WebApiTest, public ::testing::WithParamInterface<Route> {};

const Route kStateChanging[] = {{"POST", "logout"},
                                {"POST", "search"},
                                {"POST", "downloads"},
                                {"POST", "messages"},
                                {"POST", "transfers/1/cancel"},
                                {"POST", "transfers/clear"},
                                {"PUT", "preferences"}};
const Route kReading[] = {{"GET", "status"},
                          {"GET", "transfers"},
                          {"GET", "messages?after=0"},
                          {"GET", "preferences"},
                          {"GET", "events"}};

TEST_P(WebRouteTest, WithoutASessionTheAnswerIs401InJson) {
    Start();
    test::WebReply reply = test::Call(
        server->port(), {GetParam().method, std::string("/api/v1/") + GetParam().path, "{}"});
    EXPECT_EQ(reply.status, 401);
    EXPECT_EQ(reply.headers["content-type"], "application/json");
    EXPECT_EQ(Body(reply)["error"], "not logged in");
}

INSTANTIATE_TEST_SUITE_P(StateChanging, WebRouteTest, ::testing::ValuesIn(kStateChanging));
INSTANTIATE_TEST_SUITE_P(Reading, WebRouteTest, ::testing::ValuesIn(kReading));

class StateChangingRouteTest : public WebRouteTest {};

TEST_P(StateChangingRouteTest, WithoutTheRightTokenTheAnswerIs403) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    const std::string path = std::string("/api/v1/") + GetParam().path;
    test::WebCall call{GetParam().method, path, "{}"};
    call.cookie = cookie;
    EXPECT_EQ(test::Call(server->port(), call).status, 403);
    call.token = csrf.substr(1) + "0";
    EXPECT_EQ(test::Call(server->port(), call).status, 403);
    // The session is still good for reading.
    EXPECT_EQ(Get("status").status, 200);
}

INSTANTIATE_TEST_SUITE_P(All, StateChangingRouteTest, ::testing::ValuesIn(kStateChanging));

TEST_F(WebApiTest, OnlyTheNamedHostsAndTheBoundAddressAreServed) {
    Start();
    for (const char* host : {"127.0.0.1", "127.0.0.1:8081", "peer.example", "PEER.example:443"}) {
        test::WebCall call{"GET", "/"};
        call.host = host;
        EXPECT_EQ(test::Call(server->port(), call).status, 200) << host;
    }
    for (const char* host : {"evil.example", "localhost", "", "peer.example.evil", "[::1]:80"}) {
        for (const char* path : {"/", "/api/v1/login", "/api/v1/status"}) {
            test::WebCall call{"POST", path, Json{{"password", kPassword}}.dump()};
            call.host = host;
            test::WebReply reply = test::Call(server->port(), call);
            EXPECT_EQ(reply.status, 421) << host << " " << path;
            EXPECT_TRUE(reply.setCookies.empty());
        }
    }
}

TEST_F(WebApiTest, LoginSetsAStrictHttpOnlyCookieAndGivesTheToken) {
    Start();
    test::WebReply reply = LogIn();
    ASSERT_EQ(reply.status, 200);
    ASSERT_EQ(reply.setCookies.size(), 1u);
    const std::string& set = reply.setCookies.front();
    EXPECT_EQ(set.rfind(std::string(kSessionCookieName) + "=", 0), 0u) << set;
    EXPECT_NE(set.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(set.find("; SameSite=Strict"), std::string::npos);
    EXPECT_EQ(set.find("Secure"), std::string::npos) << "plain HTTP cannot carry a Secure cookie";
    EXPECT_EQ(csrf.size(), 64u);
    EXPECT_EQ(Get("status").status, 200);
    EXPECT_EQ(LogIn("wrong").status, 401);
}

TEST_F(WebApiTest, OverHttpsTheCookieIsSecure) {
    Start(test::HttpReply("0\n"), true);
    test::WebReply reply = LogIn();
    ASSERT_EQ(reply.setCookies.size(), 1u);
    EXPECT_NE(reply.setCookies.front().find("; Secure"), std::string::npos);
}

TEST_F(WebApiTest, FiveFailedLoginsAMinuteLockTheAddressOut) {
    Start();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(LogIn("guess" + std::to_string(i)).status, 401);
    }
    // Even the right password waits out the minute.
    test::WebReply locked = LogIn();
    EXPECT_EQ(locked.status, 429);
    EXPECT_FALSE(Body(locked)["error"].get<std::string>().empty());
    clock.Advance(59s);
    EXPECT_EQ(LogIn().status, 429);
    clock.Advance(2s);
    EXPECT_EQ(LogIn().status, 200);
}

TEST_F(WebApiTest, SessionsEndAfterTwelveHoursIdleAndOnLogout) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    clock.Advance(11h + 59min);
    EXPECT_EQ(Get("status").status, 200);  // and renews the idle time
    clock.Advance(11h + 59min);
    EXPECT_EQ(Get("status").status, 200);
    clock.Advance(12h);
    EXPECT_EQ(Get("status").status, 401);
    EXPECT_EQ(api->sessionCount(), 0u);

    ASSERT_EQ(LogIn().status, 200);
    test::WebReply out = Post("logout");
    EXPECT_EQ(out.status, 200);
    ASSERT_EQ(out.setCookies.size(), 1u);
    EXPECT_NE(out.setCookies.front().find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(Get("status").status, 401);
}

TEST_F(WebApiTest, ThePasswordHashIsInNoReplyAndNoLog) {
    Start();
    LogIn("wrong");
    ASSERT_EQ(LogIn().status, 200);
    for (const char* path : {"status", "preferences", "transfers", "messages"}) {
        EXPECT_EQ(Get(path).status, 200) << path;
    }
    EXPECT_EQ(Call({"PUT", "/api/v1/preferences", R"({"upload_slots":3})"}).status, 200);
    EXPECT_EQ(Call({"GET", "/"}).status, 200);
    // The hash is still in preferences.conf, beside the new value.
    const std::string file = test::ReadWholeFile(preferencesPath());
    EXPECT_NE(file.find(std::string(kWebPasswordHashKey) + " = " + hash), std::string::npos);
    EXPECT_NE(file.find("upload_slots = 3"), std::string::npos);
    const std::string secret = hash.substr(hash.rfind('$') + 1);
    const std::string log = Seen("log") + err.str();
    EXPECT_EQ(Seen("bodies").find(secret), std::string::npos);
    EXPECT_EQ(log.find(secret), std::string::npos);
    EXPECT_NE(log.find("failed login from 127.0.0.1"), std::string::npos);
    EXPECT_EQ(log.find(kPassword), std::string::npos);
    EXPECT_EQ(log.find("wrong"), std::string::npos);
}

TEST_F(WebApiTest, StatusGivesUserRegistrationReachabilityAndLimits) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    Json status = Body(Get("status"));
    EXPECT_EQ(status["user"], "me");
    EXPECT_EQ(status["registered"], false);
    EXPECT_EQ(status["reachable"], "unknown");
    EXPECT_EQ(status["upload_slots"], kDefaultUploadSlots);
    EXPECT_EQ(status["upload_limit_kib"], 0);
    EXPECT_EQ(status["download_limit_kib"], 0);
}

TEST_F(WebApiTest, SearchDownloadTransfersAndClear) {
    test::PeerHarness sharer;
    ASSERT_TRUE(sharer.StartListener());
    const std::string content = test::PatternBytes(50000);
    sharer.Share("music\\song.mp3", content);
    peerPort = sharer.port();
    Start(
        test::HttpReply("2\nintro.mp3\nbob\nT1\n12\n127.0.0.1\nmusic\\song.mp3\nann\nDSL,"
                        "Cable\n50000\n127.0.0.1\n"));
    ASSERT_EQ(LogIn().status, 200);

    test::WebReply found = Post("search", {{"query", "song"}, {"ext", "*.mp3"}, {"max", 5}});
    ASSERT_EQ(found.status, 200) << found.body;
    EXPECT_EQ(directory->LastBody(), "event=onSearch&qs=song&max=5&ext=*.mp3&userName=me");
    Json results = Body(found)["results"];
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1]["name"], "music\\song.mp3");
    EXPECT_EQ(results[1]["size"], "50000");
    EXPECT_EQ(results[1]["user"], "ann");
    EXPECT_NE(results[0]["id"], results[1]["id"]);

    test::WebReply started = Post("downloads", {{"result", results[1]["id"]}});
    ASSERT_EQ(started.status, 201) << started.body;
    const auto transfer = Body(started)["transfer"];
    Json row;
    ASSERT_TRUE(test::WaitFor([&] {
        Json rows = Body(Get("transfers"))["transfers"];
        if (rows.size() != 1) {
            return false;
        }
        row = rows[0];
        return row["finished"] == true;
    }));
    app->downloadThreads().JoinAll();
    EXPECT_EQ(row["id"], transfer);
    EXPECT_EQ(row["direction"], "download");
    EXPECT_EQ(row["name"], "song.mp3");
    EXPECT_EQ(row["status"], "File Complete...");
    EXPECT_EQ(row["cells"]["status"], "File Complete...");
    EXPECT_EQ(row["done"], 50000);
    EXPECT_EQ(row["cells"]["size"], "50000 of 50000");
    EXPECT_EQ(test::ReadWholeFile(shared.path() / "song.mp3"), content);

    // The same name again: the local file stays unless overwrite is asked for.
    test::WebReply again = Post("downloads", {{"result", results[1]["id"]}});
    EXPECT_EQ(again.status, 409);
    EXPECT_NE(Body(again)["error"].get<std::string>().find("already exists"), std::string::npos);
    EXPECT_EQ(Post("downloads", {{"result", 999999}}).status, 404);
    EXPECT_EQ(Post("transfers/999/cancel").status, 404);

    EXPECT_EQ(Post("transfers/clear").status, 200);
    EXPECT_TRUE(Body(Get("transfers"))["transfers"].empty());
}

TEST_F(WebApiTest, AFailedSearchAnswersWithTheWindowsText) {
    Start("HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>Not Found</html>\n");
    ASSERT_EQ(LogIn().status, 200);
    test::WebReply reply = Post("search", {{"query", "song"}});
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(Body(reply)["error"], "Unable to read HTTP response headers!");
}

TEST_F(WebApiTest, BadBodiesAreRefusedWithAMessage) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    const std::pair<const char*, const char*> cases[] = {
        {"search", "not json"},
        {"search", R"({"query": 5})"},
        {"search", R"({"query": "a", "max": 0})"},
        {"downloads", R"({"result": "x"})"},
        {"messages", R"({"user": "bob", "text": "two\nlines"})"},
        {"messages", R"({"user": "", "text": "hi"})"},
    };
    for (const auto& [path, body] : cases) {
        test::WebReply reply = Call({"POST", std::string("/api/v1/") + path, body});
        EXPECT_EQ(reply.status, 400) << path << " " << body;
        EXPECT_TRUE(Body(reply)["error"].is_string()) << reply.body;
    }
    test::WebCall plain{"POST", "/api/v1/search", R"({"query":"a"})"};
    plain.contentType = "text/plain";
    EXPECT_EQ(Call(plain).status, 415);
    EXPECT_EQ(Get("nothing").status, 404);
}

TEST_F(WebApiTest, PreferencesAreReadCheckedAndSaved) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    EXPECT_EQ(Body(Get("preferences")), (Json{{"upload_slots", 8},
                                              {"upload_limit_kib", 0},
                                              {"download_limit_kib", 0},
                                              {"notifications", true}}));
    test::WebReply saved =
        Call({"PUT", "/api/v1/preferences",
              R"({"upload_slots": 2, "download_limit_kib": 300, "notifications": false})"});
    ASSERT_EQ(saved.status, 200) << saved.body;
    EXPECT_EQ(app->preferences()->uploadSlots, 2u);
    EXPECT_EQ(app->preferences()->downloadLimitKiB, 300);
    EXPECT_FALSE(app->preferences()->notifications);
    EXPECT_TRUE(ReadPreferencesFile(preferencesPath()).problems.empty());
    EXPECT_EQ(ReadPreferencesFile(preferencesPath()).values, *app->preferences());
    for (const char* bad :
         {R"({"upload_slots": 0})", R"({"upload_slots": 65})", R"({"upload_limit_kib": -1})",
          R"({"notifications": "yes"})", R"({"web_password_hash": "x"})"}) {
        EXPECT_EQ(Call({"PUT", "/api/v1/preferences", bad}).status, 400) << bad;
    }
    EXPECT_EQ(app->preferences()->uploadSlots, 2u);
}

TEST_F(WebApiTest, MessagesAreListedAfterANumberAndStreamedAsEvents) {
    Start();
    ASSERT_EQ(LogIn().status, 200);
    messages.AppendLine("<ann> first\n");
    messages.AppendLine("<bob> second\n");
    Json listed = Body(Get("messages?after=1"));
    ASSERT_EQ(listed["messages"].size(), 1u);
    EXPECT_EQ(listed["messages"][0]["text"], "<bob> second");
    EXPECT_EQ(listed["last"], 2);
    EXPECT_EQ(Get("messages?after=x").status, 400);

    test::WebCall call{"GET", "/api/v1/events"};
    call.cookie = cookie;
    Socket stream = test::OpenWebStream(server->port(), call);
    std::string seen;
    ASSERT_TRUE(test::ReadUntilSeen(stream.fd(), seen, "event: transfers\n")) << seen;
    EXPECT_NE(seen.find("text/event-stream"), std::string::npos);
    messages.AppendLine("<ann> third\n");
    ASSERT_TRUE(test::ReadUntilSeen(stream.fd(), seen, "event: message\n")) << seen;
    ASSERT_TRUE(test::ReadUntilSeen(stream.fd(), seen, R"("text":"<ann> third")")) << seen;
    EXPECT_EQ(seen.find("second"), std::string::npos) << "only lines after the stream opened";
    // Logging out ends the stream: its last, empty chunk comes.
    EXPECT_EQ(Post("logout").status, 200);
    EXPECT_TRUE(test::ReadUntilSeen(stream.fd(), seen, "\r\n0\r\n\r\n")) << seen;
}

TEST_F(WebApiTest, ThePageIsServedWhole) {
    Start();
    test::WebReply page = test::Call(server->port(), {"GET", "/"});
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(page.body, api->page());
    for (const char* text : {"Currently Downloading Files:", "Currently Uploading Files:",
                             "Messages Sent To You:", "Max Results: ", "Upload slots:"}) {
        EXPECT_NE(page.body.find(text), std::string::npos) << text;
    }
    EXPECT_NE(page.headers["content-security-policy"].find("default-src 'none'"),
              std::string::npos);
    // Nothing is fetched from elsewhere.
    EXPECT_EQ(page.body.find("http://"), std::string::npos);
    EXPECT_EQ(page.body.find("https://"), std::string::npos);
}

TEST_F(WebApiTest, TheInstalledPageIsServedBeforeTheBuiltInOne) {
    Start();
    home.WriteFile("index.html", "<p>installed</p>");
    WebApiOptions options;
    options.boundAddress = "127.0.0.1";
    options.pageFile = home.str() + "/index.html";
    WebApi installed(*app, messages, options);
    EXPECT_EQ(installed.page(), "<p>installed</p>");
    options.pageFile = home.str() + "/missing.html";
    WebApi fallback(*app, messages, options);
    EXPECT_EQ(fallback.page(), api->page());
    EXPECT_NE(fallback.page().find("<title>Brindlenet V1.0</title>"), std::string::npos);
}

// web-password: twice the same, at least 8 characters, only the hash kept.
TEST(WebPasswordCommandTest, StoresTheHashOfAPasswordTypedTwice) {
    test::TempDir home;
    const std::string path = home.str() + "/preferences.conf";
    home.WriteFile("preferences.conf", "# mine\nupload_slots = 4\n");
    auto run = [&](const std::string& input, std::string& err) {
        std::istringstream in(input);
        std::ostringstream out;
        std::ostringstream errors;
        Console console(out, errors);
        HeadlessEnvironment environment;
        environment.preferencesPath = path;
        environment.input = &in;
        HeadlessCommand command;
        std::string error;
        EXPECT_TRUE(ParseHeadlessArguments({"web-password"}, command, error)) << error;
        const int code = RunHeadless(command, environment, console);
        err = errors.str();
        return code;
    };
    std::string err;
    EXPECT_EQ(run("long enough\nlong enougH\n", err), 1);
    EXPECT_NE(err.find("differ"), std::string::npos);
    EXPECT_EQ(run("short\nshort\n", err), 1);
    EXPECT_EQ(run("long enough\n", err), 1);
    EXPECT_EQ(ReadPreferencesValue(path, kWebPasswordHashKey), "");

    EXPECT_EQ(run("long enough\nlong enough\n", err), 0) << err;
    const std::string hash = ReadPreferencesValue(path, kWebPasswordHashKey);
    EXPECT_EQ(hash.rfind("$argon2id$", 0), 0u) << hash;
    EXPECT_TRUE(CheckWebPassword("long enough", hash));
    EXPECT_FALSE(CheckWebPassword("long enougH", hash));
    const std::string file = test::ReadWholeFile(path);
    EXPECT_EQ(file.find("long enough"), std::string::npos);
    EXPECT_EQ(file.rfind("# mine\nupload_slots = 4\n", 0), 0u);
    // The preferences take the line as known.
    EXPECT_TRUE(ReadPreferencesFile(path).problems.empty());
    EXPECT_EQ(ReadPreferencesFile(path).values.uploadSlots, 4u);

    // A new password replaces the line where it stands.
    home.WriteFile("preferences.conf", test::ReadWholeFile(path) + "notifications = false\n");
    EXPECT_EQ(run("another one\nanother one\n", err), 0) << err;
    const std::string replaced = test::ReadWholeFile(path);
    EXPECT_EQ(replaced.find(kWebPasswordHashKey), replaced.rfind(kWebPasswordHashKey));
    EXPECT_LT(replaced.find(kWebPasswordHashKey), replaced.find("notifications = false"));
    EXPECT_TRUE(CheckWebPassword("another one", ReadPreferencesValue(path, kWebPasswordHashKey)));
}

TEST(WebServeTest, WebRefusesToStartWithoutAPasswordAndSaysHow) {
    test::TempDir home;
    HeadlessCommand command;
    std::string error;
    ASSERT_TRUE(ParseHeadlessArguments({"serve", "--web", "127.0.0.1:0"}, command, error));
    std::ostringstream out;
    std::ostringstream errors;
    Console console(out, errors);
    HeadlessEnvironment environment;
    environment.configPath = home.str() + "/config.txt";
    environment.preferencesPath = home.str() + "/preferences.conf";
    EXPECT_EQ(RunHeadless(command, environment, console), 1);
    EXPECT_NE(errors.str().find("run 'brindlenet-peer web-password'"), std::string::npos)
        << errors.str();
}

}  // namespace
}  // namespace brindle
