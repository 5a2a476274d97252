// Certificates the tests make for themselves with certtool: a throwaway
// authority and server certificates for "localhost", 127.0.0.1 and ::1, good ones
// and ones that must fail verification.
#pragma once

#include <filesystem>
#include <string>

namespace brindle::test {

struct CertificatePair {
    std::filesystem::path certificate;  // PEM; the server's certificate, then the authority's
    std::filesystem::path key;          // PEM
};

struct TestCertificates {
    std::filesystem::path authority;   // PEM of the throwaway authority (for SSL_CERT_FILE)
    CertificatePair server;            // "localhost", 127.0.0.1, ::1 (and 10.200.0.1, fd00:200::1)
    CertificatePair renewed;           // the same names, another key: a renewal
    CertificatePair wrongHost;         // valid, but for "elsewhere.example" only
    CertificatePair expired;           // the right names, expired a year ago
    CertificatePair unknownAuthority;  // the right names, signed by an authority nobody trusts
};

// Makes every certificate in `folder` (created). False with `error` set when
// certtool is missing or fails.
bool MakeTestCertificates(const std::filesystem::path& folder, TestCertificates& out,
                          std::string& error);

}  // namespace brindle::test
