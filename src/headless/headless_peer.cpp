#include "headless/headless_peer.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "app/share_app.h"
#include "base/signal_waiter.h"

namespace brindle {

namespace {

// serve and get end in order on SIGINT and SIGTERM: the signals are waited for,
// and every thread started later inherits the blocked set. serve takes SIGHUP
// the same way, as a request to read preferences.conf again; the wait ends
// with it, so the reload is at once. search and send keep the default, so an
// interrupt ends them at once.
void TakeStopSignals(HeadlessCommandKind kind, HeadlessEnvironment& environment) {
    if (kind != HeadlessCommandKind::Serve && kind != HeadlessCommandKind::Get) {
        return;
    }
    const bool serve = kind == HeadlessCommandKind::Serve;
    const SignalWaiter waiter(serve ? std::vector<int>{SIGINT, SIGTERM, SIGHUP}
                                    : std::vector<int>{SIGINT, SIGTERM});
    auto reload = std::make_shared<std::atomic<bool>>(false);
    if (serve) {
        environment.takeReloadRequest = [reload] { return reload->exchange(false); };
    }
    environment.waitForStop = [waiter, reload](std::chrono::milliseconds wait) {
        const std::optional<int> signal = waiter.Wait(wait);
        if (signal == SIGHUP) {
            reload->store(true);
            return false;
        }
        return signal.has_value();
    };
}

}  // namespace

int RunHeadless(const HeadlessCommand& command, HeadlessEnvironment& environment,
                Console& console) {
    if (command.kind == HeadlessCommandKind::Help) {
        console.Out(HeadlessUsage(command.helpFor));
        return 0;
    }
    if (!environment.waitForStop) {
        // No stop requests: only the wait itself.
        environment.waitForStop = [](std::chrono::milliseconds wait) {
            std::this_thread::sleep_for(wait);
            return false;
        };
    }
    ConsoleMessageBox box(console);
    CShareApp app(UiPorts{&box, nullptr, nullptr}, environment.configPath,
                  environment.preferencesPath);
    app.SetRequestTimeouts(environment.requestTimeouts);
    // The step's message says only that the server could not be reached; a
    // refused certificate also gets its reason.
    app.SetConnectFailureReporter(
        [&console](const ServerAddress& server, const std::string& reason) {
            console.Err(std::string(kHeadlessProgramName) + ": cannot connect to " + server.host +
                        ":" + std::to_string(server.port) + ": " + reason + "\n");
        });
    switch (command.kind) {
        case HeadlessCommandKind::Serve:
            return RunServeCommand(command, environment, console, app);
        case HeadlessCommandKind::WebPassword:
            return RunWebPasswordCommand(environment, console);
        case HeadlessCommandKind::Search:
            return RunSearchCommand(command, environment, console, app, box);
        case HeadlessCommandKind::Get:
            return RunGetCommand(command, environment, console, app, box);
        case HeadlessCommandKind::Send:
            return RunSendCommand(command, environment, console, app);
        case HeadlessCommandKind::Help:
            break;
    }
    return 0;
}

int HeadlessMain(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    HeadlessCommand command;
    std::string error;
    if (!ParseHeadlessArguments(arguments, command, error)) {
        std::cerr << kHeadlessProgramName << ": " << error << "\n";
        return 2;
    }
    HeadlessEnvironment environment;
    environment.progressBar = ::isatty(STDERR_FILENO) == 1;
    if (const char* mode = std::getenv("BRINDLENET_PUSH_WAIT"); mode != nullptr) {
        if (auto parsed = ParsePushWaitMode(mode)) {
            environment.pushWait = *parsed;
        } else {
            std::cerr << kHeadlessProgramName
                      << ": BRINDLENET_PUSH_WAIT must be auto, always or never\n";
            return 2;
        }
    }
    if (const char* deadline = std::getenv("BRINDLENET_PUSH_DEADLINE"); deadline != nullptr) {
        char* end = nullptr;
        const long seconds = std::strtol(deadline, &end, 10);
        if (end == deadline || *end != '\0' || seconds < 1 || seconds > 3600) {
            std::cerr << kHeadlessProgramName
                      << ": BRINDLENET_PUSH_DEADLINE must be a number of seconds, 1 to 3600\n";
            return 2;
        }
        environment.pushDeadline = std::chrono::seconds(seconds);
    }
    // Downloads wait in a busy sharer's line instead of failing.
    environment.peer.queueRequests = true;
    TakeStopSignals(command.kind, environment);
    environment.input = &std::cin;
    environment.inputFd = STDIN_FILENO;
    Console console(std::cout, std::cerr);
    return RunHeadless(command, environment, console);
}

}  // namespace brindle
