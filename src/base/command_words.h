// Command-line words prepared for CLI11.
#pragma once

#include <string>
#include <vector>

namespace brindle {

// `words` (without the program name) in the reversed order CLI::App::parse
// takes. "--name=" becomes "--name" and an empty value, as CLI11 would take the
// next word as the value instead; words after "--" are left as they are.
std::vector<std::string> CliWords(const std::vector<std::string>& words);

}  // namespace brindle
