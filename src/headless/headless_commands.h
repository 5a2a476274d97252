// brindlenet-peer's commands: serve, search, get and send, on the same core
// as the window, with the console standing in for message boxes and views.
#pragma once

#include <chrono>
#include <functional>
#include <istream>
#include <string>

#include "app/reachability_monitor.h"
#include "base/preferences.h"
#include "base/settings.h"
#include "headless/console_ports.h"
#include "headless/headless_cli.h"
#include "net/http_client.h"
#include "peer/peer_options.h"
#include "peer/push_waiter.h"

namespace brindle {

class CShareApp;

inline constexpr char kHeadlessProgramName[] = "brindlenet-peer";

// Where the package installs the web page.
std::string InstalledWebPageFile();

struct HeadlessEnvironment {
    std::string configPath = kConfigFileName;
    // Upload slots and rate limits; serve and get read it at start.
    std::string preferencesPath = DefaultPreferencesPath();
    PeerOptions peer;
    RequestTimeouts requestTimeouts;
    // Waits up to the given time for a stop request (SIGINT, SIGTERM); true when one came.
    std::function<bool(std::chrono::milliseconds)> waitForStop;
    // True once for each request (SIGHUP) to read preferences.conf again; serve asks
    // after every wait. None: never.
    std::function<bool()> takeReloadRequest;
    // Port mapping and the directory's reachability probe (serve only).
    ReachabilityOptions reachability;
    // A terminal gets a redrawn progress bar; anything else one line a second.
    bool progressBar = false;
    // When serve keeps a request waiting at the directory for pushes and
    // messages (BRINDLENET_PUSH_WAIT: auto, always or never).
    PushWaitMode pushWait = PushWaitMode::Auto;
    // How long get waits for a sharer it asked to push before giving up
    // (BRINDLENET_PUSH_DEADLINE, in seconds).
    std::chrono::seconds pushDeadline{30};
    // web-password reads the password from here; echo is turned off when
    // `inputFd` is a terminal.
    std::istream* input = nullptr;
    int inputFd = -1;
    // The installed web page; when it cannot be read the built-in copy is served.
    std::string webPageFile = InstalledWebPageFile();
};

// serve's line for a reachability status: "reachable: yes (NAT-PMP,
// 203.0.113.7:2000)", "reachable: yes (port 2000)" without a mapping,
// "reachable: no (REASON)" or "reachable: unknown".
std::string ServeReachabilityLine(const ReachabilityStatus& status);

// The text shown when config.txt cannot give all five settings.
std::string IncompleteConfigText(const std::string& configPath);

// Each command runs on an application made for it, whose message box is `box`;
// the result is the process's exit code. serve and get need waitForStop.
int RunServeCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                    Console& console, CShareApp& app);
// Reads the new web password twice and stores its hash; needs `input`.
int RunWebPasswordCommand(const HeadlessEnvironment& environment, Console& console);
int RunSearchCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                     Console& console, CShareApp& app, ConsoleMessageBox& box);
int RunGetCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                  Console& console, CShareApp& app, ConsoleMessageBox& box);
int RunSendCommand(const HeadlessCommand& command, const HeadlessEnvironment& environment,
                   Console& console, CShareApp& app);

}  // namespace brindle
