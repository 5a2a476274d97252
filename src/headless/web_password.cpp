#include "headless/web_password.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>

namespace brindle {

std::string HashWebPassword(const std::string& password, PasswordCost cost) {
    if (sodium_init() < 0) {
        return {};
    }
    const bool interactive = cost == PasswordCost::Interactive;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(
            hash, password.data(), password.size(),
            interactive ? crypto_pwhash_OPSLIMIT_INTERACTIVE : crypto_pwhash_OPSLIMIT_MIN,
            interactive ? crypto_pwhash_MEMLIMIT_INTERACTIVE : crypto_pwhash_MEMLIMIT_MIN,
            crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return {};
    }
    return hash;
}

bool CheckWebPassword(const std::string& password, const std::string& hash) {
    static std::mutex oneAtATime;
    if (sodium_init() < 0 || hash.empty() || hash.size() >= crypto_pwhash_STRBYTES ||
        hash.rfind("$argon2id$", 0) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> hold(oneAtATime);
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::optional<std::string> ReadSecretLine(std::istream& in, int terminalFd) {
    termios saved{};
    const bool terminal = ::isatty(terminalFd) == 1 && ::tcgetattr(terminalFd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(terminalFd, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(in, line));
    if (terminal) {
        ::tcsetattr(terminalFd, TCSAFLUSH, &saved);
    }
    if (!read) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

}  // namespace brindle
