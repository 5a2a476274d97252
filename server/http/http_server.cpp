#include "server/http/http_server.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "server/http/tls_credentials.h"

namespace brindle::server {

// TLS 1.2 and 1.3 only, otherwise GnuTLS's own choice of secure algorithms.
constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

// The server's own record of a connection, its socket context: created when
// libmicrohttpd accepts it, gone once it is closed.
struct DirectoryHttpServer::Connection {
    DirectoryHttpServer* server = nullptr;
    int fd = -1;
    std::string client;  // printable address, for the log
    // Guarded by the server's connectionsLock_.
    Stage stage = Stage::Headers;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    const char* cut = nullptr;  // why the server closed it, once it has
    // HTTPS: the credentials its handshake picked. They stay alive for as
    // long as the connection does, whatever reloads happen meanwhile.
    std::shared_ptr<const TlsCredentials> credentials;
};

struct DirectoryHttpServer::PendingRequest {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::string client;   // printable address for the log: the user's, then " via " the proxy's
    std::string address;  // the user's address (dotted IPv4 or RFC 5952 IPv6); "" when none
    std::string body;
    Connection* connection = nullptr;  // null only if libmicrohttpd gave none
    std::size_t accounted = 0;         // bytes counted against the server's buffer budget
    bool answered = false;             // a reply has been queued
    bool forwarded = false;            // a trusted proxy named the user in X-Forwarded-For
    std::string user;                  // the address it named, printable; "" when not an address
    bool admin = false;                // /healthz or /metrics: not counted as a directory request
    bool timed = false;                // a POST: its duration goes into the histogram
    bool counted = false;
    // The event's reply, set on a handler thread while the connection is
    // suspended and sent once it is resumed.
    bool handed = false;
    bool ready = false;
    EventReply reply;
};

namespace {

// The client's address for the log ("?" when there is none) and as the
// address registrations record ("" when there is none).
void DescribeClient(const sockaddr* address, std::string& printable, std::string& recorded) {
    recorded = ClientAddressText(address);
    printable = recorded.empty() ? "?" : recorded;
}

// The value of the last X-Forwarded-For header line, if any.
struct ForwardedForHeader {
    bool present = false;
    std::string value;
};

MHD_Result CollectForwardedFor(void* self, MHD_ValueKind, const char* key, const char* value) {
    if (key != nullptr && strcasecmp(key, "X-Forwarded-For") == 0) {
        auto* header = static_cast<ForwardedForHeader*>(self);
        header->present = true;
        header->value = value != nullptr ? value : "";
    }
    return MHD_YES;
}

// The last comma-separated entry without surrounding blanks: the address the
// nearest proxy saw; the entries before it are whatever the client sent.
std::string LastEntry(const std::string& value) {
    std::size_t comma = value.rfind(',');
    std::string entry = comma == std::string::npos ? value : value.substr(comma + 1);
    std::size_t first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    std::size_t last = entry.find_last_not_of(" \t");
    return entry.substr(first, last - first + 1);
}

void LogLibraryMessage(void* self, const char* format, va_list args) {
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    std::string line = std::string("libmicrohttpd: ") + message;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    (*static_cast<LogSink*>(self))(line);
}

// Binds and listens on address:port; -1 with `error` set on failure.
int OpenListeningSocket(const std::string& address, int port, bool& ipv6, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *in;
        ipv6 = false;
    } else if (inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *in6;
        ipv6 = true;
    } else {
        error = "not an IPv4 or IPv6 address: " + address;
        return -1;
    }
    int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int on = 1;
    int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (ipv6) {
        // "::" then also takes IPv4 clients, as IPv4-mapped addresses.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 1024) != 0) {
        error = "cannot listen on " + address + " port " + std::to_string(port) + ": " +
                std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        return 0;
    }
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

}  // namespace

struct HttpCallbacks {
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* uploadData,
                                size_t* uploadSize, void** state) {
        auto* server = static_cast<DirectoryHttpServer*>(self);
        return server->Receive(connection, url, method, uploadData, uploadSize, state) ? MHD_YES
                                                                                       : MHD_NO;
    }

    static void OnCompleted(void* self, MHD_Connection*, void** state,
                            MHD_RequestTerminationCode code) {
        const char* reason = "closed";
        switch (code) {
            case MHD_REQUEST_TERMINATED_COMPLETED_OK:
                reason = "completed";
                break;
            case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
                reason = "timed out";
                break;
            case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
                reason = "client closed the connection";
                break;
            case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
                reason = "server stopping";
                break;
            default:
                break;
        }
        static_cast<DirectoryHttpServer*>(self)->Complete(state, reason);
    }

    static void OnConnection(void* self, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<DirectoryHttpServer*>(self);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            server->Opened(connection, socketContext);
        } else {
            server->Closed(socketContext);
        }
    }
};

namespace {

// A fresh key for session tickets; "" (no tickets) when none could be made.
std::string NewTicketKey() {
    gnutls_datum_t key{};
    if (gnutls_session_ticket_key_generate(&key) < 0) {
        return {};
    }
    std::string text(reinterpret_cast<char*>(key.data), key.size);
    gnutls_memset(key.data, 0, key.size);
    gnutls_free(key.data);
    return text;
}

}  // namespace

struct TlsCallbacks {
    // Called by GnuTLS during each handshake: hands out the credentials loaded last.
    static int RetrieveCertificate(gnutls_session_t session, const gnutls_datum_t*, int,
                                   const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                                   unsigned int* chainLength, gnutls_privkey_t* key) {
        // libmicrohttpd keeps its connection as the session's pointer.
        auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
        const MHD_ConnectionInfo* info =
            connection != nullptr
                ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)
                : nullptr;
        auto* tls = info != nullptr
                        ? static_cast<DirectoryHttpServer::Connection*>(info->socket_context)
                        : nullptr;
        if (tls == nullptr) {
            return -1;
        }
        tls->credentials = tls->server->credentials();
        if (!tls->credentials) {
            return -1;
        }
        *chain = tls->credentials->chain();
        *chainLength = tls->credentials->chainLength();
        *key = tls->credentials->key();
        return 0;
    }
};

std::string FormatRequestLogLine(std::chrono::system_clock::time_point when,
                                 const std::string& client, const std::string& event, int status,
                                 const std::string& outcome, double milliseconds) {
    using namespace std::chrono;
    auto sinceEpoch = when.time_since_epoch();
    std::time_t seconds =
        static_cast<std::time_t>(duration_cast<std::chrono::seconds>(sinceEpoch).count());
    int millis =
        static_cast<int>(duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1fms", milliseconds);
    std::string line = stamp;
    line += ' ';
    line += client;
    line += ' ';
    line += event;
    line += ' ';
    line += std::to_string(status);
    line += ' ';
    line += outcome;
    line += ' ';
    line += duration;
    return line;
}

std::vector<AddressRange> DefaultAdminRanges() {
    return {*AddressRange::Parse("127.0.0.0/8"), *AddressRange::Parse("::1")};
}

DirectoryHttpServer::DirectoryHttpServer(EventDispatcher& dispatcher, HttpServerOptions options,
                                         LogSink log)
    : dispatcher_(dispatcher), options_(std::move(options)), log_(std::move(log)) {
    if (!log_) {
        log_ = [](const std::string&) {};
    }
}

DirectoryHttpServer::~DirectoryHttpServer() {
    Stop();
}

bool DirectoryHttpServer::Start(std::string& error) {
    bool ipv6 = false;
    int fd = OpenListeningSocket(options_.bindAddress, options_.port, ipv6, error);
    if (fd < 0) {
        return false;
    }
    port_ = BoundPort(fd);
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME |
                         MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (ipv6) {
        flags |= MHD_USE_DUAL_STACK;
    }
    auto item = [](MHD_OPTION option, intptr_t value, void* pointer = nullptr) {
        return MHD_OptionItem{option, value, pointer};
    };
    std::vector<MHD_OptionItem> items = {
        item(MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LogLibraryMessage), &log_),
        item(MHD_OPTION_LISTEN_SOCKET, fd),
        item(MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections),
        item(MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.maxConnectionsPerAddress),
        item(MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds),
        item(MHD_OPTION_THREAD_POOL_SIZE, std::max(1u, options_.pollThreads)),
        item(MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpCallbacks::OnCompleted),
             this),
        item(MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&HttpCallbacks::OnConnection),
             this),
    };
    if (options_.tls()) {
        auto loaded = TlsCredentials::Load(options_.tlsCertificateFile, options_.tlsKeyFile, error);
        if (!loaded) {
            ::close(fd);
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(credentialsLock_);
            credentials_ = std::move(loaded);
            ticketKey_ = NewTicketKey();
        }
        flags |= MHD_USE_TLS;
        items.push_back(item(MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)));
        items.push_back(item(MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
                             reinterpret_cast<void*>(&TlsCallbacks::RetrieveCertificate)));
    }
    items.push_back(item(MHD_OPTION_END, 0));
    stopping_ = false;
    {
        std::lock_guard<std::mutex> hold(jobsLock_);
        handling_ = true;
    }
    for (unsigned i = 0; i < std::max(1u, options_.handlerThreads); ++i) {
        handlers_.emplace_back([this] { RunHandlers(); });
    }
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &HttpCallbacks::OnRequest, this,
                               MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(fd);
        {
            std::lock_guard<std::mutex> hold(jobsLock_);
            handling_ = false;
        }
        jobsWake_.notify_all();
        for (auto& handler : handlers_) {
            handler.join();
        }
        handlers_.clear();
        error = options_.tls() ? "cannot start the HTTPS server" : "cannot start the HTTP server";
        return false;
    }
    watching_ = true;
    watchdog_ = std::thread([this] { Watch(); });
    return true;
}

void DirectoryHttpServer::Stop() {
    if (watchdog_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(connectionsLock_);
            watching_ = false;
        }
        watchWake_.notify_all();
        watchdog_.join();
    }
    // Waiting requests are answered "NONE" and events still queued run to
    // their end, so every suspended connection is resumed before the daemon
    // closes them.
    stopping_ = true;
    dispatcher_.relay().ReleaseAll();
    if (!handlers_.empty()) {
        {
            std::lock_guard<std::mutex> hold(jobsLock_);
            handling_ = false;
        }
        jobsWake_.notify_all();
        for (auto& handler : handlers_) {
            handler.join();
        }
        handlers_.clear();
    }
    dispatcher_.relay().ReleaseAll();
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    // Requests that came after the handler threads ended were closed by the
    // daemon with their connections.
    std::lock_guard<std::mutex> hold(jobsLock_);
    jobs_.clear();
}

void DirectoryHttpServer::Opened(MHD_Connection* connection, void** socketContext) {
    auto record = std::make_unique<Connection>();
    record->server = this;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    record->fd = info != nullptr ? info->connect_fd : -1;
    info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    std::string ignored;
    DescribeClient(info != nullptr ? info->client_addr : nullptr, record->client, ignored);
    if (options_.tls()) {
        // The session exists, its handshake has not begun: clients may
        // resume with a ticket instead of a full handshake. The session takes
        // a copy of the key.
        info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        std::lock_guard<std::mutex> hold(credentialsLock_);
        if (info != nullptr && info->tls_session != nullptr && !ticketKey_.empty()) {
            gnutls_datum_t key{reinterpret_cast<unsigned char*>(ticketKey_.data()),
                               static_cast<unsigned>(ticketKey_.size())};
            gnutls_session_ticket_enable_server(static_cast<gnutls_session_t>(info->tls_session),
                                                &key);
        }
    }
    std::lock_guard<std::mutex> hold(connectionsLock_);
    connections_.insert(record.get());
    *socketContext = record.release();
}

// libmicrohttpd closes the socket only after this, so the watchdog, which
// shuts sockets down under the same lock, never touches a reused descriptor.
void DirectoryHttpServer::Closed(void** socketContext) {
    std::unique_ptr<Connection> record(static_cast<Connection*>(*socketContext));
    *socketContext = nullptr;
    std::lock_guard<std::mutex> hold(connectionsLock_);
    connections_.erase(record.get());
}

DirectoryHttpServer::ConnectionCounts DirectoryHttpServer::connectionCounts() const {
    ConnectionCounts counts;
    std::lock_guard<std::mutex> hold(connectionsLock_);
    for (const Connection* connection : connections_) {
        if (connection->cut == nullptr) {
            counts.awaitingHeaders += connection->stage == Stage::Headers;
            counts.awaitingBody += connection->stage == Stage::Body;
        }
    }
    counts.waitingForPush = dispatcher_.relay().waiting();
    return counts;
}

void DirectoryHttpServer::Enter(Connection* connection, Stage stage) {
    if (connection == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> hold(connectionsLock_);
    connection->stage = stage;
    connection->since = std::chrono::steady_clock::now();
}

void DirectoryHttpServer::Watch() {
    using namespace std::chrono;
    // A tenth of the shorter deadline, so a connection is closed at most about
    // 10% late, but no busier than every 10 ms and no lazier than every 250 ms.
    auto tick = std::clamp(
        duration_cast<milliseconds>(std::min(options_.headerTimeout, options_.bodyTimeout) / 10),
        milliseconds(10), milliseconds(250));
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> hold(connectionsLock_);
    while (watching_) {
        auto now = steady_clock::now();
        for (Connection* connection : connections_) {
            bool headers = connection->stage == Stage::Headers;
            if (connection->cut != nullptr || connection->stage == Stage::Handling ||
                now - connection->since <
                    (headers ? options_.headerTimeout : options_.bodyTimeout)) {
                continue;
            }
            // libmicrohttpd sees the socket fail and closes the connection
            // as if the client had gone.
            connection->cut = headers ? "header block not complete in time, connection closed"
                                      : "body not complete in time, connection closed";
            ::shutdown(connection->fd, SHUT_RDWR);
            if (headers) {
                // No request exists yet to log the close.
                lines.push_back(FormatRequestLogLine(
                    system_clock::now(), connection->client, "-", 0,
                    std::string("no reply (") + connection->cut + ")",
                    duration<double, std::milli>(now - connection->since).count()));
            }
        }
        if (!lines.empty()) {
            hold.unlock();
            for (const auto& line : lines) {
                log_(line);
            }
            lines.clear();
            hold.lock();
            continue;
        }
        hold.unlock();
        dispatcher_.relay().ExpireDue();
        hold.lock();
        if (!watching_) {
            break;
        }
        watchWake_.wait_for(hold, tick);
    }
}

std::shared_ptr<const TlsCredentials> DirectoryHttpServer::credentials() const {
    std::lock_guard<std::mutex> hold(credentialsLock_);
    return credentials_;
}

bool DirectoryHttpServer::ReloadCertificate(std::string& error) {
    if (!options_.tls()) {
        error = "not serving HTTPS: no certificate to reload";
        return false;
    }
    // Whatever goes wrong, the certificate in use stays and the server runs on.
    try {
        auto loaded = TlsCredentials::Load(options_.tlsCertificateFile, options_.tlsKeyFile, error);
        if (!loaded) {
            log_("certificate not reloaded, the one in use stays: " + error);
            return false;
        }
        std::string description = loaded->description();
        std::shared_ptr<const TlsCredentials> previous;
        {
            std::lock_guard<std::mutex> hold(credentialsLock_);
            previous = std::exchange(credentials_, std::move(loaded));
            // Tickets issued under the previous certificate are refused from now on.
            gnutls_memset(ticketKey_.data(), 0, ticketKey_.size());
            ticketKey_ = NewTicketKey();
        }
        log_("reloaded certificate " + options_.tlsCertificateFile + " (" + description + ")");
        return true;  // `previous` goes once no connection holds it
    } catch (const std::exception& failure) {
        error = failure.what();
    } catch (...) {
        error = "unknown failure";
    }
    try {
        log_("certificate not reloaded, the one in use stays: " + error);
    } catch (...) {
    }
    return false;
}

void DirectoryHttpServer::Log(const PendingRequest& request, const std::string& event, int status,
                              const std::string& outcome) {
    double elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - request.start)
            .count();
    log_(FormatRequestLogLine(std::chrono::system_clock::now(), request.client, event, status,
                              outcome, elapsed));
}

bool DirectoryHttpServer::Account(PendingRequest& request, std::size_t bytes) {
    std::size_t current = buffered_.load();
    do {
        if (current + bytes > options_.maxBufferedBytes) {
            return false;
        }
    } while (!buffered_.compare_exchange_weak(current, current + bytes));
    request.accounted += bytes;
    return true;
}

bool DirectoryHttpServer::Respond(MHD_Connection* connection, PendingRequest& request, int status,
                                  const std::string& body, const std::string& event,
                                  const std::string& outcome, const char* contentType) {
    request.answered = true;
    Count(request, event, status);
    double elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - request.start)
            .count();
    log_(FormatRequestLogLine(std::chrono::system_clock::now(), request.client, event, status,
                              outcome, elapsed));
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned int>(status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

void DirectoryHttpServer::Count(PendingRequest& request, const std::string& event, int status) {
    if (request.admin || request.counted) {
        return;
    }
    request.counted = true;
    metrics_.CountRequest(MetricEventFromName(event), MetricOutcomeFromStatus(status));
    if (request.timed) {
        metrics_.ObserveDuration(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - request.start)
                .count());
    }
}

void DirectoryHttpServer::ApplyForwardedFor(MHD_Connection* connection, PendingRequest& request) {
    ForwardedForHeader header;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectForwardedFor, &header);
    if (!header.present) {
        return;  // the proxy's own request, or one it sent on unmarked
    }
    request.forwarded = true;
    std::string proxy = request.client;
    std::string entry = LastEntry(header.value);
    request.address = CanonicalAddressText(entry);
    request.user = request.address;
    if (request.address.empty()) {
        log_("X-Forwarded-For from " + proxy + " names no address: \"" +
             PrintableForLog(header.value, 128) + "\"");
    }
    request.client = (request.user.empty() ? "?" : request.user) + " via " + proxy;
}

// Only the connection's own address grants access. A request a trusted proxy
// relays for somebody else must name an admitted user as well, or a proxy on
// this machine would open these pages to everyone it serves.
bool DirectoryHttpServer::MayAdminister(const sockaddr* peer, const PendingRequest& request) const {
    if (!AnyContains(options_.adminFrom, peer)) {
        return false;
    }
    if (!request.forwarded) {
        return true;
    }
    for (const auto& range : options_.adminFrom) {
        if (range.Contains(std::string_view(request.user))) {
            return true;
        }
    }
    return false;
}

bool DirectoryHttpServer::ServeAdmin(MHD_Connection* connection, PendingRequest& request,
                                     std::string_view path) {
    request.admin = true;
    DirectoryStore& store = dispatcher_.store();
    bool up = store.Reachable();
    if (path == "/healthz") {
        return up ? Respond(connection, request, 200, "ok\n", "/healthz", "ok")
                  : Respond(connection, request, 503, "unavailable\n", "/healthz",
                            "unavailable (database unreachable)");
    }
    std::string text = metrics_.Render(up, store.Statistics(), dispatcher_.relay().waiting());
    return Respond(connection, request, 200, text, "/metrics",
                   std::to_string(text.size()) + " bytes", "text/plain; version=0.0.4");
}

bool DirectoryHttpServer::Receive(MHD_Connection* connection, const char* url, const char* method,
                                  const char* uploadData, std::size_t* uploadSize, void** state) {
    auto* request = static_cast<PendingRequest*>(*state);
    if (request == nullptr) {
        // Headers are in: set up the request, refuse at once what cannot be served.
        auto fresh = std::make_unique<PendingRequest>();
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const sockaddr* peer = info ? info->client_addr : nullptr;
        DescribeClient(peer, fresh->client, fresh->address);
        info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        fresh->connection = info ? static_cast<Connection*>(info->socket_context) : nullptr;
        request = fresh.release();
        *state = request;
        Enter(request->connection, Stage::Handling);
        if (AnyContains(options_.trustedProxies, peer)) {
            ApplyForwardedFor(connection, *request);
        }
        std::string_view path = url != nullptr ? url : "";
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 &&
            (path == "/healthz" || path == "/metrics") && MayAdminister(peer, *request)) {
            return ServeAdmin(connection, *request, path);
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
            return Respond(connection, *request, 405, "POST-ONLY\n", "-",
                           "POST-ONLY (" + PrintableForLog(method, 16) + ")");
        }
        request->timed = true;
        const char* lengthText = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                             MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (lengthText != nullptr) {
            unsigned long long length = std::strtoull(lengthText, nullptr, 10);
            if (length > options_.maxBodyBytes) {
                return Respond(connection, *request, 413, "TOO-LARGE\n", "-",
                               "TOO-LARGE (" + std::to_string(length) + " bytes announced)");
            }
            // Only bodies received so far count: an announced length costs
            // nothing until its bytes come, so bodies that never come cannot
            // lock anybody out.
            if (buffered_.load() + length > options_.maxBufferedBytes) {
                return Respond(connection, *request, 503, "BUSY\n", "-",
                               "BUSY (request bodies fill the memory budget)");
            }
            request->body.reserve(std::min<unsigned long long>(length, 64ULL * 1024));
        }
        Enter(request->connection, Stage::Body);
        return true;
    }
    if (*uploadSize != 0) {
        std::size_t chunk = *uploadSize;
        *uploadSize = 0;
        return TakeBodyChunk(*request, std::string_view(uploadData, chunk));
    }
    if (request->answered) {
        return true;
    }
    if (request->ready) {
        const EventReply& reply = request->reply;
        return Respond(connection, *request, reply.status, reply.body, reply.event, reply.outcome);
    }
    if (request->handed) {
        return true;  // woken before its reply is set: stays until it is
    }
    Enter(request->connection, Stage::Handling);
    request->handed = true;
    MHD_suspend_connection(connection);
    {
        std::lock_guard<std::mutex> hold(jobsLock_);
        jobs_.emplace_back(connection, request);
    }
    jobsWake_.notify_one();
    return true;
}

void DirectoryHttpServer::RunHandlers() {
    std::unique_lock<std::mutex> hold(jobsLock_);
    for (;;) {
        jobsWake_.wait(hold, [this] { return !jobs_.empty() || !handling_; });
        if (jobs_.empty()) {
            return;
        }
        auto [connection, request] = jobs_.front();
        jobs_.pop_front();
        hold.unlock();
        Handle(connection, request);
        hold.lock();
    }
}

void DirectoryHttpServer::Handle(MHD_Connection* connection, PendingRequest* request) {
    EventReply reply;
    try {
        reply = dispatcher_.Handle({request->body, request->address});
    } catch (...) {
        reply = EventReply{500, "SERVER-ERROR\n", "-", "SERVER-ERROR (event failed)", {}};
    }
    if (reply.waitFor.empty()) {
        request->reply = std::move(reply);
        Resume(connection, request);
        return;
    }
    std::string event = reply.event;
    if (stopping_) {
        request->reply = EventReply{200, "NONE\n", event, "NONE (server stopping)", {}};
        Resume(connection, request);
        return;
    }
    auto answer = [this, connection, request, event](const std::string& body) {
        std::size_t space = body.find(' ');
        std::string word = body.substr(0, std::min(space, body.size() - 1));
        request->reply = EventReply{200, body, event, word, {}};
        Resume(connection, request);
    };
    if (dispatcher_.relay().Wait(reply.waitFor, answer) == PushRelay::Waited::Busy) {
        request->reply = EventReply{503, "BUSY\n", event, "BUSY (waiting line full)", {}};
        Resume(connection, request);
    }
}

void DirectoryHttpServer::Resume(MHD_Connection* connection, PendingRequest* request) {
    request->ready = true;
    MHD_resume_connection(connection);
}

bool DirectoryHttpServer::TakeBodyChunk(PendingRequest& request, std::string_view chunk) {
    if (request.answered) {
        return true;  // refused already: the rest of the body is dropped
    }
    // A body without an announced length (chunked) can grow past the size
    // limit here, and any body past the budget when others filled it
    // meanwhile. A reply cannot be queued in the middle of a body, so the
    // connection is closed instead.
    std::size_t total = request.body.size() + chunk.size();
    const char* refusal = nullptr;
    if (total > options_.maxBodyBytes) {
        refusal = "TOO-LARGE (body beyond the limit, connection closed)";
    } else if (total > request.accounted && !Account(request, total - request.accounted)) {
        refusal = "BUSY (request bodies fill the memory budget, connection closed)";
    }
    if (refusal != nullptr) {
        request.answered = true;
        Count(request, "-", 0);
        Log(request, "-", 0, refusal);
        return false;
    }
    request.body.append(chunk);
    return true;
}

void DirectoryHttpServer::Complete(void** state, const char* reason) {
    std::unique_ptr<PendingRequest> request(static_cast<PendingRequest*>(*state));
    *state = nullptr;
    if (!request) {
        return;
    }
    buffered_.fetch_sub(request->accounted);
    if (Connection* record = request->connection; record != nullptr) {
        // The next request's header block is due from now.
        std::lock_guard<std::mutex> hold(connectionsLock_);
        if (record->cut != nullptr) {
            reason = record->cut;
        }
        record->stage = Stage::Headers;
        record->since = std::chrono::steady_clock::now();
    }
    if (!request->answered) {
        Count(*request, "-", 0);
        Log(*request, "-", 0, std::string("no reply (") + reason + ")");
    }
}

}  // namespace brindle::server
