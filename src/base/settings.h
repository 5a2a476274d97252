// The five user settings and their file, config.txt.
#pragma once

#include <string>

#include "base/published.h"

namespace brindle {

inline constexpr char kDefaultServerUrl[] = "http://localhost:8080/examples/servlet/brindlenet";
inline constexpr char kConfigFileName[] = "config.txt";

struct AppSettings {
    std::string sharedDirectory;
    std::string serverUrl;
    std::string userName;
    std::string connection;
    std::string password;

    bool operator==(const AppSettings&) const = default;
    // True when all five values are non-empty.
    [[nodiscard]] bool Complete() const;
};

// The connection texts the configuration dialog offers, in the order they are added.
inline constexpr const char* kConnectionSuggestions[] = {
    "28.8K Modem", "33.6K Modem", "56K Modem", "ISDN-56K", "ISDN-128K",
    "DSL,Cable",   "T1",          "T2",        "T3",       "Other"};

// What reading config.txt found.
struct ConfigFileContent {
    bool opened = false;    // the file could be opened for reading
    bool complete = false;  // all five lines yielded a value
    AppSettings values;     // the values read; all empty unless complete
};

// Reads the five lines: each read takes at most 1023 bytes, CR and LF end a value,
// a line without a value makes the file incomplete.
[[nodiscard]] ConfigFileContent ReadConfigFile(const std::string& path);

// Writes the five values, each followed by a line feed, into a new file that
// then replaces `path` whole. False, with the old file untouched and nothing
// left beside it, when the existing file may not be written or any step fails.
[[nodiscard]] bool WriteConfigFile(const std::string& path, const AppSettings& settings);

// The settings as worker threads see them; the user-interface thread publishes
// each change whole.
using SettingsHolder = Published<AppSettings>;

}  // namespace brindle
