#include "server/http/tls_credentials.h"

#include <fcntl.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

namespace brindle::server {
namespace {

// PEM files of a certificate chain and a key are a few kilobytes.
constexpr std::size_t kMaxFileBytes = 1u << 20;

// Reads a regular file of at most kMaxFileBytes. Opened without blocking, so a
// FIFO cannot stall the caller, and refused unless it is a regular file, so a
// device such as /dev/zero cannot fill the memory.
bool ReadFile(const std::string& path, const char* what, std::string& contents,
              std::string& error) {
    auto fail = [&](const std::string& why) {
        error = std::string("cannot read ") + what + " file " + path + ": " + why;
        return false;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return fail(std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return fail("not a regular file");
    }
    if (static_cast<std::uintmax_t>(status.st_size) > kMaxFileBytes) {
        return fail("larger than 1 MiB");
    }
    // One byte more than allowed tells a file that grew meanwhile.
    std::string text(kMaxFileBytes + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        ssize_t n = ::read(fd, text.data() + length, text.size() - length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail(std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        length += static_cast<std::size_t>(n);
    }
    if (length > kMaxFileBytes) {
        return fail("larger than 1 MiB");
    }
    text.resize(length);
    contents = std::move(text);
    return true;
}

gnutls_datum_t Datum(const std::string& bytes) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
            static_cast<unsigned>(bytes.size())};
}

// SHA-256 of the public key, to tell whether a key belongs to a certificate.
std::string KeyId(gnutls_pubkey_t key) {
    unsigned char id[64];
    std::size_t size = sizeof id;
    if (gnutls_pubkey_get_key_id(key, GNUTLS_KEYID_USE_SHA256, id, &size) < 0) {
        return "";
    }
    return std::string(reinterpret_cast<char*>(id), size);
}

std::string PrivateKeyId(gnutls_privkey_t key) {
    gnutls_pubkey_t pub = nullptr;
    if (gnutls_pubkey_init(&pub) < 0) {
        return "";
    }
    std::string id = gnutls_pubkey_import_privkey(pub, key, 0, 0) < 0 ? "" : KeyId(pub);
    gnutls_pubkey_deinit(pub);
    return id;
}

std::string UtcText(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// The subject, serial and end of validity of a DER certificate; its end of
// validity in `notAfter`.
std::string Describe(const gnutls_datum_t& der, std::time_t& notAfter) {
    gnutls_x509_crt_t certificate = nullptr;
    notAfter = 0;
    if (gnutls_x509_crt_init(&certificate) < 0) {
        return "?";
    }
    std::string text = "?";
    if (gnutls_x509_crt_import(certificate, &der, GNUTLS_X509_FMT_DER) >= 0) {
        gnutls_datum_t dn{};
        text = gnutls_x509_crt_get_dn3(certificate, &dn, 0) >= 0
                   ? std::string(reinterpret_cast<char*>(dn.data), dn.size)
                   : std::string("?");
        gnutls_free(dn.data);
        unsigned char serial[64];
        std::size_t size = sizeof serial;
        if (gnutls_x509_crt_get_serial(certificate, serial, &size) >= 0) {
            text += ", serial ";
            for (std::size_t i = 0; i < size; ++i) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", serial[i]);
                text += hex;
            }
        }
        notAfter = gnutls_x509_crt_get_expiration_time(certificate);
        text += ", valid until " + UtcText(notAfter);
    }
    gnutls_x509_crt_deinit(certificate);
    return text;
}

}  // namespace

std::shared_ptr<const TlsCredentials> TlsCredentials::Load(const std::string& certificateFile,
                                                           const std::string& keyFile,
                                                           std::string& error) {
    try {
        return LoadFiles(certificateFile, keyFile, error);
    } catch (const std::exception& failure) {
        error = "cannot load the certificate in " + certificateFile + ": " + failure.what();
    } catch (...) {
        error = "cannot load the certificate in " + certificateFile;
    }
    return nullptr;
}

std::shared_ptr<const TlsCredentials> TlsCredentials::LoadFiles(const std::string& certificateFile,
                                                                const std::string& keyFile,
                                                                std::string& error) {
    std::string certificateText;
    std::string keyText;
    if (!ReadFile(certificateFile, "certificate", certificateText, error) ||
        !ReadFile(keyFile, "key", keyText, error)) {
        return nullptr;
    }
    std::shared_ptr<TlsCredentials> loaded(new TlsCredentials);

    gnutls_datum_t certificates = Datum(certificateText);
    unsigned count = 8;
    int status = GNUTLS_E_SHORT_MEMORY_BUFFER;
    while (status == GNUTLS_E_SHORT_MEMORY_BUFFER) {
        loaded->chain_.resize(count);
        status = gnutls_pcert_list_import_x509_raw(loaded->chain_.data(), &count, &certificates,
                                                   GNUTLS_X509_FMT_PEM, GNUTLS_X509_CRT_LIST_SORT);
    }
    if (status < 0 || count == 0) {
        loaded->chain_.clear();
        error = "no usable certificate in " + certificateFile + ": " +
                (status < 0 ? gnutls_strerror(status) : "the file holds none");
        return nullptr;
    }
    loaded->chain_.resize(count);

    gnutls_datum_t key = Datum(keyText);
    if ((status = gnutls_privkey_init(&loaded->key_)) < 0 ||
        (status = gnutls_privkey_import_x509_raw(loaded->key_, &key, GNUTLS_X509_FMT_PEM, nullptr,
                                                 0)) < 0) {
        error = "no usable private key in " + keyFile +
                " (an unencrypted PEM key is needed): " + gnutls_strerror(status);
        return nullptr;
    }
    std::string certificateKey = KeyId(loaded->chain_[0].pubkey);
    if (certificateKey.empty() || certificateKey != PrivateKeyId(loaded->key_)) {
        error =
            "the key in " + keyFile + " does not belong to the certificate in " + certificateFile;
        return nullptr;
    }
    std::time_t notAfter = 0;
    loaded->description_ = Describe(loaded->chain_[0].cert, notAfter);
    // Every client would refuse it: better to say so now than to serve it.
    if (notAfter != 0 && notAfter < std::time(nullptr)) {
        error = "the certificate in " + certificateFile + " expired on " + UtcText(notAfter);
        return nullptr;
    }
    return loaded;
}

TlsCredentials::~TlsCredentials() {
    for (auto& certificate : chain_) {
        gnutls_pcert_deinit(&certificate);
    }
    if (key_ != nullptr) {
        gnutls_privkey_deinit(key_);
    }
}

}  // namespace brindle::server
