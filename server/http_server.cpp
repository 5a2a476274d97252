#include "server/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace brindle::server {

struct DirectoryHttpServer::PendingRequest {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::string client;  // printable address for the log
    std::string ipv4;    // "" when the client has no IPv4 address
    std::string body;
    std::size_t accounted = 0;  // bytes counted against the server's buffer budget
    bool answered = false;      // a reply has been queued
};

namespace {

// The client's address: IPv4 as is, IPv4-mapped IPv6 unwrapped to IPv4.
void DescribeClient(const sockaddr* address, std::string& printable, std::string& ipv4) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address == nullptr) {
        printable = "?";
        return;
    }
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        ipv4 = text;
    } else if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            in_addr v4;
            std::memcpy(&v4, &in6->sin6_addr.s6_addr[12], sizeof v4);
            inet_ntop(AF_INET, &v4, text, sizeof text);
            ipv4 = text;
        } else {
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        }
    }
    printable = text;
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
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char*,
                                const char* method, const char*, const char* uploadData,
                                size_t* uploadSize, void** state) {
        auto* server = static_cast<DirectoryHttpServer*>(self);
        return server->Receive(connection, method, uploadData, uploadSize, state) ? MHD_YES
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
    unsigned int flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                         MHD_USE_POLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (ipv6) {
        flags |= MHD_USE_DUAL_STACK;
    }
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &HttpCallbacks::OnRequest, this, MHD_OPTION_EXTERNAL_LOGGER,
        &LogLibraryMessage, &log_, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
        MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        options_.maxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
        options_.idleTimeoutSeconds, MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::OnCompleted, this,
        MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(fd);
        error = "cannot start the HTTP server";
        return false;
    }
    return true;
}

void DirectoryHttpServer::Stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
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
                                  const std::string& outcome) {
    request.answered = true;
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
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
    MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned int>(status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

bool DirectoryHttpServer::Receive(MHD_Connection* connection, const char* method,
                                  const char* uploadData, std::size_t* uploadSize, void** state) {
    auto* request = static_cast<PendingRequest*>(*state);
    if (request == nullptr) {
        // Headers are in: set up the request, refuse at once what cannot be served.
        auto fresh = std::make_unique<PendingRequest>();
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        DescribeClient(info ? info->client_addr : nullptr, fresh->client, fresh->ipv4);
        request = fresh.release();
        *state = request;
        if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0) {
            return Respond(connection, *request, 405, "POST-ONLY\n", "-",
                           "POST-ONLY (" + PrintableForLog(method, 16) + ")");
        }
        const char* lengthText = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                             MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (lengthText != nullptr) {
            unsigned long long length = std::strtoull(lengthText, nullptr, 10);
            if (length > options_.maxBodyBytes) {
                return Respond(connection, *request, 413, "TOO-LARGE\n", "-",
                               "TOO-LARGE (" + std::to_string(length) + " bytes announced)");
            }
            if (!Account(*request, length)) {
                return Respond(connection, *request, 503, "BUSY\n", "-",
                               "BUSY (request bodies fill the memory budget)");
            }
            request->body.reserve(length);
        }
        return true;
    }
    if (*uploadSize != 0) {
        std::size_t chunk = *uploadSize;
        *uploadSize = 0;
        if (request->answered) {
            return true;  // refused already: the rest of the body is dropped
        }
        // Only a body without an announced length (chunked) can grow past the
        // limits here. A reply cannot be queued in the middle of a body, so the
        // connection is closed instead.
        std::size_t total = request->body.size() + chunk;
        const char* refusal = nullptr;
        if (total > options_.maxBodyBytes) {
            refusal = "TOO-LARGE (body beyond the limit, connection closed)";
        } else if (total > request->accounted && !Account(*request, total - request->accounted)) {
            refusal = "BUSY (request bodies fill the memory budget, connection closed)";
        }
        if (refusal != nullptr) {
            request->answered = true;
            Log(*request, "-", 0, refusal);
            return false;
        }
        request->body.append(uploadData, chunk);
        return true;
    }
    if (request->answered) {
        return true;
    }
    EventReply reply = dispatcher_.Handle({request->body, request->ipv4});
    return Respond(connection, *request, reply.status, reply.body, reply.event, reply.outcome);
}

void DirectoryHttpServer::Complete(void** state, const char* reason) {
    std::unique_ptr<PendingRequest> request(static_cast<PendingRequest*>(*state));
    *state = nullptr;
    if (!request) {
        return;
    }
    buffered_.fetch_sub(request->accounted);
    if (!request->answered) {
        Log(*request, "-", 0, std::string("no reply (") + reason + ")");
    }
}

}  // namespace brindle::server
