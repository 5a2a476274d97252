#include "support/test_certificates.h"

#include <fstream>

#include "support/child_process.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

class CertTool {
  public:
    explicit CertTool(std::filesystem::path folder) : folder_(std::move(folder)) {}

    bool Key(const std::string& name) {
        return Run({"certtool", "--generate-privkey", "--key-type", "ecdsa", "--outfile",
                    Path(name + ".key")});
    }
    // A self-signed authority.
    bool Authority(const std::string& name) {
        return Key(name) &&
               Template(name, "cn = \"Brindlenet test authority " + name +
                                  "\"\nca\ncert_signing_key\nexpiration_days = 30\n") &&
               Run({"certtool", "--generate-self-signed", "--load-privkey", Path(name + ".key"),
                    "--template", Path(name + ".tmpl"), "--outfile", Path(name + ".pem")});
    }
    // A server certificate signed by `authority`; `dates` sets its validity.
    bool Server(const std::string& name, const std::string& authority, const std::string& host,
                const std::string& dates) {
        std::string text = "cn = \"" + host + "\"\ndns_name = \"" + host + "\"\n";
        if (host == "localhost") {
            // Also the directory's addresses in the namespaced internet.
            text +=
                "ip_address = \"127.0.0.1\"\nip_address = \"::1\"\n"
                "ip_address = \"10.200.0.1\"\nip_address = \"fd00:200::1\"\n";
        }
        text += "tls_www_server\nsigning_key\nencryption_key\n" + dates;
        if (!Key(name) || !Template(name, text) ||
            !Run({"certtool", "--generate-certificate", "--load-privkey", Path(name + ".key"),
                  "--load-ca-certificate", Path(authority + ".pem"), "--load-ca-privkey",
                  Path(authority + ".key"), "--template", Path(name + ".tmpl"), "--outfile",
                  Path(name + ".crt")})) {
            return false;
        }
        // The chain as servers serve it: the certificate, then its authority.
        std::ofstream(folder_ / (name + ".pem")) << ReadWholeFile(folder_ / (name + ".crt"))
                                                 << ReadWholeFile(folder_ / (authority + ".pem"));
        return true;
    }
    CertificatePair Pair(const std::string& name) const {
        return {folder_ / (name + ".pem"), folder_ / (name + ".key")};
    }
    std::string Path(const std::string& name) const { return (folder_ / name).string(); }
    std::string log() const { return ReadWholeFile(folder_ / "certtool.log"); }

  private:
    bool Template(const std::string& name, const std::string& text) {
        std::ofstream(folder_ / (name + ".tmpl")) << text;
        return true;
    }
    bool Run(const std::vector<std::string>& args) {
        ChildProcess::Options options;
        options.output = folder_ / "certtool.log";
        return RunToEnd(args, options, std::chrono::seconds(60)) == 0;
    }

    std::filesystem::path folder_;
};

}  // namespace

bool MakeTestCertificates(const std::filesystem::path& folder, TestCertificates& out,
                          std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    CertTool tool(folder);
    const std::string valid = "expiration_days = 30\n";
    const std::string past =
        "activation_date = \"2020-01-01 00:00:00\"\n"
        "expiration_date = \"2021-01-01 00:00:00\"\n";
    bool made = tool.Authority("authority") && tool.Authority("stranger") &&
                tool.Server("server", "authority", "localhost", valid) &&
                tool.Server("renewed", "authority", "localhost", valid) &&
                tool.Server("wrong-host", "authority", "elsewhere.example", valid) &&
                tool.Server("expired", "authority", "localhost", past) &&
                tool.Server("unknown", "stranger", "localhost", valid);
    if (!made) {
        error = "certtool failed: " + tool.log();
        return false;
    }
    out.authority = folder / "authority.pem";
    out.server = tool.Pair("server");
    out.renewed = tool.Pair("renewed");
    out.wrongHost = tool.Pair("wrong-host");
    out.expired = tool.Pair("expired");
    out.unknownAuthority = tool.Pair("unknown");
    return true;
}

}  // namespace brindle::test
