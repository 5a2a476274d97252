#include "support/nginx_proxy.h"

#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "support/directory_node.h"
#include "support/net_helpers.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

constexpr char kNginx[] = "/usr/sbin/nginx";

std::string Configuration(const std::filesystem::path& folder, int port,
                          const std::vector<int>& upstreamPorts, const std::string& alsoListenOn) {
    std::string dir = folder.string();
    std::string text;
    if (RunningAsRoot()) {
        text += "user root;\n";  // the workers write their buffers into the test's folder
    }
    text +=
        "worker_processes 1;\n"
        "daemon off;\n"
        "pid " +
        dir +
        "/nginx.pid;\n"
        "error_log " +
        dir +
        "/error.log info;\n"
        "events { worker_connections 512; }\n"
        "http {\n"
        "  access_log off;\n"
        "  client_body_temp_path " +
        dir +
        "/body;\n"
        "  proxy_temp_path " +
        dir +
        "/proxy;\n"
        "  fastcgi_temp_path " +
        dir +
        "/fastcgi;\n"
        "  uwsgi_temp_path " +
        dir +
        "/uwsgi;\n"
        "  scgi_temp_path " +
        dir +
        "/scgi;\n"
        "  client_max_body_size 64m;\n"
        "  upstream directory {\n";
    for (int upstream : upstreamPorts) {
        text += "    server 127.0.0.1:" + std::to_string(upstream) + ";\n";
    }
    text +=
        "  }\n"
        "  server {\n"
        "    listen 127.0.0.1:" +
        std::to_string(port) + ";\n";
    if (!alsoListenOn.empty()) {
        text += "    listen " + alsoListenOn + ":" + std::to_string(port) + ";\n";
    }
    text +=
        "    set_real_ip_from 127.0.0.1/32;\n"
        "    real_ip_header X-Forwarded-For;\n"
        "    location / {\n"
        "      proxy_pass http://directory;\n"
        "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
        "    }\n"
        "  }\n"
        "}\n";
    return text;
}

}  // namespace

bool NginxProxy::Installed() {
    return ::access(kNginx, X_OK) == 0;
}

NginxProxy::NginxProxy(const std::filesystem::path& folder, const std::vector<int>& upstreamPorts,
                       const std::string& alsoListenOn)
    : folder_(folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder_, ignored);
    // The port is free when asked; another program may take it first, so try again.
    for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
        int port = FreeLoopbackPort();
        {
            std::ofstream(folder_ / "nginx.conf")
                << Configuration(folder_, port, upstreamPorts, alsoListenOn);
        }
        ChildProcess::Options output;
        output.output = folder_ / "nginx.out";
        process_ = ChildProcess(
            {kNginx, "-p", folder_.string(), "-c", (folder_ / "nginx.conf").string()}, output);
        bool listening = WaitFor(
            [&] {
                if (process_.WaitWithin(std::chrono::milliseconds(0))) {
                    return true;  // ended: the port was taken or the configuration refused
                }
                return static_cast<bool>(ConnectLoopback(port));
            },
            std::chrono::seconds(20));
        if (listening && process_.started()) {
            port_ = port;
        }
    }
}

NginxProxy::~NginxProxy() {
    if (process_.started()) {
        process_.Kill(SIGQUIT);  // graceful: workers finish, then the master ends
    }
}

std::string NginxProxy::errorLog() const {
    return ReadWholeFile(folder_ / "error.log") + ReadWholeFile(folder_ / "nginx.out");
}

}  // namespace brindle::test
