// The web page's password: only its Argon2id hash is kept, in preferences.conf.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace brindle {

// How much work a hash takes: Interactive for real passwords, Minimal for tests.
enum class PasswordCost { Interactive, Minimal };

// The Argon2id hash string of `password` ("$argon2id$v=19$..."); "" when
// hashing failed (out of memory).
[[nodiscard]] std::string HashWebPassword(const std::string& password,
                                          PasswordCost cost = PasswordCost::Interactive);
// True when `password` matches `hash`. Only one check runs at a time, so many
// login attempts at once cannot take all the machine's memory.
[[nodiscard]] bool CheckWebPassword(const std::string& password, const std::string& hash);

// Reads one line of `in` with the terminal's echo off when `terminalFd` is a
// terminal; none at the end of input. The line feed is not part of it.
std::optional<std::string> ReadSecretLine(std::istream& in, int terminalFd);

}  // namespace brindle
