#include "base/command_words.h"

namespace brindle {

std::vector<std::string> CliWords(const std::vector<std::string>& words) {
    std::vector<std::string> prepared;
    bool optionsEnded = false;
    for (const std::string& word : words) {
        optionsEnded = optionsEnded || word == "--";
        if (!optionsEnded && word.size() > 3 && word.rfind("--", 0) == 0 && word.back() == '=') {
            prepared.push_back(word.substr(0, word.size() - 1));
            prepared.emplace_back();
        } else {
            prepared.push_back(word);
        }
    }
    return {prepared.rbegin(), prepared.rend()};
}

}  // namespace brindle
