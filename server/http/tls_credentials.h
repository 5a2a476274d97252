// A server certificate with its chain and private key, read from PEM files and
// held in the form GnuTLS hands to a handshake. Immutable once loaded, so a
// handshake may keep using one while a reload puts another in its place.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>

#include <memory>
#include <string>
#include <vector>

namespace brindle::server {

class TlsCredentials {
  public:
    // Reads the certificate file (the server's certificate, then any
    // intermediate ones) and the unencrypted key file. Null with `error` set
    // when a file cannot be read or parsed (only regular files of at most
    // 1 MiB are read), the key does not belong to the certificate, or the
    // certificate has expired. Never throws.
    static std::shared_ptr<const TlsCredentials> Load(const std::string& certificateFile,
                                                      const std::string& keyFile,
                                                      std::string& error);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    // For a certificate retrieval callback. GnuTLS reads these but neither
    // frees nor changes them, hence the casts away from const.
    [[nodiscard]] gnutls_pcert_st* chain() const {
        return const_cast<gnutls_pcert_st*>(chain_.data());
    }
    [[nodiscard]] unsigned chainLength() const { return static_cast<unsigned>(chain_.size()); }
    [[nodiscard]] gnutls_privkey_t key() const { return key_; }

    // "CN=localhost, serial 1a2b3c, valid until 2025-06-01 12:00:00 UTC", for the log.
    [[nodiscard]] const std::string& description() const { return description_; }

  private:
    TlsCredentials() = default;
    static std::shared_ptr<const TlsCredentials> LoadFiles(const std::string& certificateFile,
                                                           const std::string& keyFile,
                                                           std::string& error);

    std::vector<gnutls_pcert_st> chain_;
    gnutls_privkey_t key_ = nullptr;
    std::string description_;
};

}  // namespace brindle::server
