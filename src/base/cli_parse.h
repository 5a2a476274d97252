// Runs a CLI11 parser over the words of a command line.
#pragma once

#include <CLI/CLI.hpp>
#include <exception>
#include <string>
#include <vector>

namespace brindle {

// Parses `words` (without the program name) with `app`. "--name=" gives the
// empty value, where CLI11 alone would take the next word; words after "--" are
// left whole. False with a one-line `error` when an option lacks its value or
// CLI11 or an option's callback rejects one.
[[nodiscard]] inline bool ParseWithCli(CLI::App& app, const std::vector<std::string>& words,
                                       std::string& error) {
    std::vector<std::string> prepared;
    bool optionsEnded = false;
    for (const std::string& word : words) {
        optionsEnded = optionsEnded || word == "--";
        bool empty =
            !optionsEnded && word.size() > 3 && word.starts_with("--") && word.ends_with('=');
        prepared.push_back(empty ? word.substr(0, word.size() - 1) : word);
        if (empty) {
            prepared.emplace_back();
        }
    }
    try {
        app.parse(std::vector<std::string>(prepared.rbegin(), prepared.rend()));  // last word first
    } catch (const CLI::ArgumentMismatch& e) {  // an option at the very end, without its value
        std::string what = e.what();
        error = what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace brindle
