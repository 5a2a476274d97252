#include "headless/web_server.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/strings.h"

namespace brindle {

namespace {

constexpr char kTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
constexpr unsigned kMaxChainLength = 8;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

MHD_Result CollectInto(void* map, MHD_ValueKind, const char* key, const char* value) {
    auto& values = *static_cast<std::map<std::string, std::string>*>(map);
    if (key != nullptr) {
        values.emplace(Lower(key), value != nullptr ? value : "");
    }
    return MHD_YES;
}

MHD_Result CollectQuery(void* map, MHD_ValueKind, const char* key, const char* value) {
    if (key != nullptr) {
        static_cast<std::map<std::string, std::string>*>(map)->emplace(
            key, value != nullptr ? value : "");
    }
    return MHD_YES;
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return "?";
    }
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                    sizeof text);
    } else if (address->sa_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                    sizeof text);
    }
    return text;
}

// A request while its body arrives.
struct PendingRequest {
    std::string body;
    bool tooLarge = false;
};

// A stream response's state, owned by libmicrohttpd from its creation on.
struct StreamState {
    std::function<bool(std::string&, const std::atomic<bool>&)> next;
    const std::atomic<bool>* stopping = nullptr;
    std::string pending;
    std::size_t offset = 0;
};

ssize_t ReadStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    auto* state = static_cast<StreamState*>(cls);
    while (state->offset >= state->pending.size()) {
        state->pending.clear();
        state->offset = 0;
        if (state->stopping->load() || !state->next(state->pending, *state->stopping) ||
            state->stopping->load()) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
    }
    const std::size_t count = std::min(max, state->pending.size() - state->offset);
    std::copy_n(state->pending.data() + state->offset, count, buffer);
    state->offset += count;
    return static_cast<ssize_t>(count);
}

void FreeStream(void* cls) {
    delete static_cast<StreamState*>(cls);
}

}  // namespace

// The certificate chain and key of one load; immutable, so a handshake may
// keep using it while a reload puts another in its place.
class WebCredentials {
  public:
    static std::shared_ptr<const WebCredentials> Load(const std::string& certificateFile,
                                                      const std::string& keyFile,
                                                      std::string& error) {
        auto loaded = std::shared_ptr<WebCredentials>(new WebCredentials());
        unsigned length = kMaxChainLength;
        loaded->chain_.resize(kMaxChainLength);
        if (gnutls_pcert_list_import_x509_file(loaded->chain_.data(), &length,
                                               certificateFile.c_str(), GNUTLS_X509_FMT_PEM,
                                               nullptr, nullptr, 0) < 0 ||
            length == 0) {
            error = "cannot read the certificate " + certificateFile;
            loaded->chain_.clear();
            return nullptr;
        }
        loaded->chain_.resize(length);
        gnutls_datum_t keyData{};
        if (gnutls_load_file(keyFile.c_str(), &keyData) < 0) {
            error = "cannot read the key " + keyFile;
            return nullptr;
        }
        const bool keyRead = gnutls_privkey_init(&loaded->key_) >= 0 &&
                             gnutls_privkey_import_x509_raw(loaded->key_, &keyData,
                                                            GNUTLS_X509_FMT_PEM, nullptr, 0) >= 0;
        gnutls_memset(keyData.data, 0, keyData.size);
        gnutls_free(keyData.data);
        if (!keyRead) {
            error = "cannot read the key " + keyFile;
            return nullptr;
        }
        return loaded;
    }
    ~WebCredentials() {
        for (gnutls_pcert_st& certificate : chain_) {
            gnutls_pcert_deinit(&certificate);
        }
        if (key_ != nullptr) {
            gnutls_privkey_deinit(key_);
        }
    }
    WebCredentials(const WebCredentials&) = delete;
    WebCredentials& operator=(const WebCredentials&) = delete;

    [[nodiscard]] gnutls_pcert_st* chain() const {
        return const_cast<gnutls_pcert_st*>(chain_.data());
    }
    [[nodiscard]] unsigned chainLength() const { return static_cast<unsigned>(chain_.size()); }
    [[nodiscard]] gnutls_privkey_t key() const { return key_; }

  private:
    WebCredentials() = default;
    std::vector<gnutls_pcert_st> chain_;
    gnutls_privkey_t key_ = nullptr;
};

// What each connection keeps: over HTTPS the credentials its handshake used.
struct WebConnection {
    WebServer* server = nullptr;
    std::shared_ptr<const WebCredentials> credentials;
};

struct WebServerCallbacks {
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char* uploadData,
                                std::size_t* uploadSize, void** state) {
        auto* server = static_cast<WebServer*>(self);
        if (*state == nullptr) {
            *state = new PendingRequest();
            return MHD_YES;
        }
        auto* pending = static_cast<PendingRequest*>(*state);
        if (*uploadSize > 0) {
            if (pending->body.size() + *uploadSize > server->options_.maxBodyBytes) {
                pending->tooLarge = true;
            } else {
                pending->body.append(uploadData, *uploadSize);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        WebResponse response;
        if (pending->tooLarge) {
            response.status = 413;
            response.body = R"({"error":"the request body is too large"})";
        } else {
            WebRequest request;
            request.method = method;
            request.path = url;
            request.body = std::move(pending->body);
            request.client = ClientAddress(connection);
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectInto, &request.headers);
            MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectQuery,
                                      &request.query);
            response = server->handler_(request);
        }
        MHD_Response* reply = nullptr;
        if (response.stream) {
            auto* stream = new StreamState{std::move(response.stream), &server->stopping_, {}, 0};
            reply = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &ReadStream, stream,
                                                      &FreeStream);
            if (reply == nullptr) {
                delete stream;
            }
        } else {
            reply = MHD_create_response_from_buffer(response.body.size(),
                                                    const_cast<char*>(response.body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
        }
        if (reply == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(reply, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
        for (const auto& [name, value] : response.headers) {
            MHD_add_response_header(reply, name.c_str(), value.c_str());
        }
        const MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
        MHD_destroy_response(reply);
        return queued;
    }

    static void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        delete static_cast<PendingRequest*>(*state);
        *state = nullptr;
    }

    static void OnConnection(void* self, MHD_Connection*, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            *socketContext = new WebConnection{static_cast<WebServer*>(self), nullptr};
        } else {
            delete static_cast<WebConnection*>(*socketContext);
            *socketContext = nullptr;
        }
    }

    // Called by GnuTLS in each handshake: hands out the credentials loaded last.
    static int RetrieveCertificate(gnutls_session_t session, const gnutls_datum_t*, int,
                                   const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                                   unsigned int* chainLength, gnutls_privkey_t* key) {
        auto* connection = static_cast<MHD_Connection*>(gnutls_session_get_ptr(session));
        const MHD_ConnectionInfo* info =
            connection != nullptr
                ? MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)
                : nullptr;
        auto* web = info != nullptr ? static_cast<WebConnection*>(info->socket_context) : nullptr;
        if (web == nullptr) {
            return -1;
        }
        web->credentials = web->server->credentials();
        if (!web->credentials) {
            return -1;
        }
        *chain = web->credentials->chain();
        *chainLength = web->credentials->chainLength();
        *key = web->credentials->key();
        return 0;
    }
};

std::string WebRequest::Header(const std::string& name) const {
    const auto found = headers.find(Lower(name));
    return found == headers.end() ? std::string() : found->second;
}

std::string WebRequest::Cookie(const std::string& name) const {
    const std::string header = Header("Cookie");
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find(';', start);
        if (end == std::string::npos) {
            end = header.size();
        }
        const std::string pair = Trimmed(header.substr(start, end - start));
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos && pair.substr(0, equals) == name) {
            return pair.substr(equals + 1);
        }
        start = end + 1;
    }
    return {};
}

bool ParseWebAddress(const std::string& text, std::string& address, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        host = host.substr(1, host.size() - 2);
        in6_addr parsed{};
        if (::inet_pton(AF_INET6, host.c_str(), &parsed) != 1) {
            return false;
        }
    } else {
        in_addr parsed{};
        if (::inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
            return false;
        }
    }
    const auto number = ParseDecimal<int>(text.substr(colon + 1), 0, 65535);
    if (!number) {
        return false;
    }
    address = host;
    port = *number;
    return true;
}

WebServer::WebServer(WebServerOptions options, WebHandler handler)
    : options_(std::move(options)), handler_(std::move(handler)) {}

WebServer::~WebServer() {
    Stop();
}

std::shared_ptr<const WebCredentials> WebServer::credentials() const {
    std::lock_guard<std::mutex> hold(credentialsLock_);
    return credentials_;
}

bool WebServer::Start(std::string& error) {
    sockaddr_storage bind{};
    const bool ipv6 = options_.address.find(':') != std::string::npos;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&bind);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(static_cast<std::uint16_t>(options_.port));
        if (::inet_pton(AF_INET6, options_.address.c_str(), &address->sin6_addr) != 1) {
            error = "not an address: " + options_.address;
            return false;
        }
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&bind);
        address->sin_family = AF_INET;
        address->sin_port = htons(static_cast<std::uint16_t>(options_.port));
        if (::inet_pton(AF_INET, options_.address.c_str(), &address->sin_addr) != 1) {
            error = "not an address: " + options_.address;
            return false;
        }
    }
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD |
                     MHD_USE_POLL | MHD_USE_ITC;
    if (ipv6) {
        flags |= MHD_USE_IPv6;
    }
    auto item = [](MHD_OPTION option, intptr_t value, void* pointer = nullptr) {
        return MHD_OptionItem{option, value, pointer};
    };
    std::vector<MHD_OptionItem> items = {
        item(MHD_OPTION_SOCK_ADDR, 0, &bind),
        item(MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections),
        item(MHD_OPTION_CONNECTION_TIMEOUT, 60),
        item(MHD_OPTION_NOTIFY_COMPLETED,
             reinterpret_cast<intptr_t>(&WebServerCallbacks::OnCompleted), this),
        item(MHD_OPTION_NOTIFY_CONNECTION,
             reinterpret_cast<intptr_t>(&WebServerCallbacks::OnConnection), this),
    };
    if (options_.tls()) {
        auto loaded = WebCredentials::Load(options_.tlsCertificateFile, options_.tlsKeyFile, error);
        if (!loaded) {
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(credentialsLock_);
            credentials_ = std::move(loaded);
        }
        flags |= MHD_USE_TLS;
        items.push_back(item(MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)));
        items.push_back(item(MHD_OPTION_HTTPS_CERT_CALLBACK, 0,
                             reinterpret_cast<void*>(&WebServerCallbacks::RetrieveCertificate)));
    }
    items.push_back(item(MHD_OPTION_END, 0));
    stopping_ = false;
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &WebServerCallbacks::OnRequest, this,
                               MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = "cannot listen on " + options_.address + " port " + std::to_string(options_.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info != nullptr ? info->port : options_.port;
    return true;
}

void WebServer::Stop() {
    stopping_ = true;
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

bool WebServer::ReloadCertificate(std::string& error) {
    if (!options_.tls()) {
        return true;
    }
    auto loaded = WebCredentials::Load(options_.tlsCertificateFile, options_.tlsKeyFile, error);
    if (!loaded) {
        return false;
    }
    std::lock_guard<std::mutex> hold(credentialsLock_);
    credentials_ = std::move(loaded);
    return true;
}

}  // namespace brindle
