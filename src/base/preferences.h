// The user's preferences beyond the five settings of config.txt: transfer
// limits and the like, kept as "key = value" lines in preferences.conf.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/published.h"

namespace brindle {

inline constexpr std::size_t kDefaultUploadSlots = 8;
// The most uploads that may ever run at once, whatever the preference says.
inline constexpr std::size_t kMaxUploadSlots = 64;
// The largest rate limit accepted, in KiB/s (about 4 GiB/s).
inline constexpr long long kMaxRateLimitKiB = 4LL * 1024 * 1024;

struct Preferences {
    // Uploads that may run at once, 1 to kMaxUploadSlots.
    std::size_t uploadSlots = kDefaultUploadSlots;
    // Rates shared by all transfers of one direction, in KiB/s; 0 is no limit.
    long long uploadLimitKiB = 0;
    long long downloadLimitKiB = 0;
    // Desktop notifications of messages and finished downloads.
    bool notifications = true;
    // Ask the home router to forward the peer port (NAT-PMP, UPnP).
    bool portMapping = true;

    bool operator==(const Preferences&) const = default;
};

// What reading preferences.conf found. A missing file is not a problem: the
// defaults hold. Every line that could not be used is named in `problems`, and
// its key keeps its default.
struct PreferencesFileContent {
    bool exists = false;
    Preferences values;
    std::vector<std::string> problems;  // "line 3: upload_slots must be 1 to 64"
};

// $XDG_CONFIG_HOME/brindlenet/preferences.conf, or ~/.config/… when the
// variable is unset, empty or not an absolute path.
[[nodiscard]] std::string DefaultPreferencesPath();

[[nodiscard]] PreferencesFileContent ReadPreferencesFile(const std::string& path);
// The text of `values` applied to an existing file's text: known keys get their
// new values where they stand, comments and unknown lines stay, missing keys
// are added at the end.
[[nodiscard]] std::string PreferencesText(const std::string& existingText,
                                          const Preferences& values);
// Writes the values (see PreferencesText) whole, creating the folder if needed.
[[nodiscard]] bool WritePreferencesFile(const std::string& path, const Preferences& values);

// The key of the web page's password hash. The preferences accept it as known
// and leave its line alone; only the web front reads and writes it.
inline constexpr char kWebPasswordHashKey[] = "web_password_hash";
// The value of the first `key` line of the file; "" when there is none or the
// file cannot be read.
[[nodiscard]] std::string ReadPreferencesValue(const std::string& path, const std::string& key);
// Sets the value of the first `key` line (appending one when there is none),
// keeping every other line; creates the file and its folder if needed.
[[nodiscard]] bool WritePreferencesValue(const std::string& path, const std::string& key,
                                         const std::string& value);

// The preferences as worker threads see them.
using PreferencesHolder = Published<Preferences>;

}  // namespace brindle
