// brindlenet-directory: the directory server users register with and search.
#include <signal.h>

#include <cstdio>
#include <optional>
#include <string>

#include "base/signal_waiter.h"
#include "server/events/event_dispatcher.h"
#include "server/events/password_hasher.h"
#include "server/http/http_server.h"
#include "server/http/tls_credentials.h"
#include "server/server_options.h"
#include "server/store/store_factory.h"

using namespace brindle::server;

int main(int argc, char** argv) {
    ServerConfig config;
    std::string error;
    if (!ParseCommandLine(argc, argv, config, error)) {
        std::fprintf(stderr, "brindlenet-directory: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    // Interrupts are taken by the waiter below; every thread started from here on
    // inherits the blocked set. SIGHUP is the service manager's "reload": it
    // re-reads the certificate when serving HTTPS and is only logged otherwise,
    // so a reload never stops a plain server.
    const brindle::SignalWaiter waiter({SIGINT, SIGTERM, SIGHUP});
    signal(SIGPIPE, SIG_IGN);

    LogSink log = StderrLogSink();
    if (!PasswordHasher::Initialize()) {
        log("brindlenet-directory: cannot initialise libsodium");
        return 1;
    }
    // Bad certificate files are refused before the database is opened, so a
    // failed start leaves no new database file behind.
    if (config.http.tls() &&
        !TlsCredentials::Load(config.http.tlsCertificateFile, config.http.tlsKeyFile, error)) {
        log("brindlenet-directory: " + error);
        return 1;
    }
    auto store = OpenStore({config.databasePath, config.replicaUris}, log, error);
    if (!store) {
        log("brindlenet-directory: " + error);
        return 1;
    }
    PasswordHasher hasher(PasswordHasher::Interactive());
    EventDispatcher dispatcher(*store, hasher, config.limits);
    TcpReachProbe reachProbe;
    ReachProbeLimiter reachLimiter(reachProbe, {});
    dispatcher.SetReachProbe(&reachLimiter);
    DirectoryHttpServer server(dispatcher, config.http, log);
    if (!server.Start(error)) {
        log("brindlenet-directory: " + error);
        return 1;
    }
    std::string database = DatabaseForLog(config.databasePath);
    if (!config.replicaUris.empty()) {
        database += " with " + std::to_string(config.replicaUris.size()) + " read replica" +
                    (config.replicaUris.size() > 1 ? "s" : "");
    }
    log("brindlenet-directory: listening on " + config.http.bindAddress + " port " +
        std::to_string(server.port()) + ", database " + database +
        (config.http.tls() ? ", HTTPS with certificate " + config.http.tlsCertificateFile : ""));

    int received = 0;
    for (;;) {
        const std::optional<int> taken = waiter.Wait();
        if (!taken) {
            continue;
        }
        received = *taken;
        if (received != SIGHUP) {
            break;
        }
        if (config.http.tls()) {
            server.ReloadCertificate(error);  // logs the outcome either way
        } else {
            log("brindlenet-directory: SIGHUP: nothing to reload without a certificate");
        }
    }
    log(std::string("brindlenet-directory: stopping (") +
        (received == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    server.Stop();
    return 0;
}
