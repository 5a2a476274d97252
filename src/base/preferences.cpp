#include "base/preferences.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "base/atomic_file.h"
#include "base/strings.h"

namespace brindle {

namespace {

constexpr char kUploadSlotsKey[] = "upload_slots";
constexpr char kUploadLimitKey[] = "upload_limit_kib";
constexpr char kDownloadLimitKey[] = "download_limit_kib";
constexpr char kNotificationsKey[] = "notifications";
constexpr char kPortMappingKey[] = "port_mapping";

std::string_view Trim(std::string_view text) {
    const std::string_view space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// A "key = value" line split at its first '='; false for blank and comment lines.
bool SplitLine(std::string_view line, std::string_view& key, std::string_view& value) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') {
        return false;
    }
    const std::size_t equals = line.find('=');
    key = Trim(line.substr(0, equals));
    value = equals == std::string_view::npos ? std::string_view{} : Trim(line.substr(equals + 1));
    return true;
}

bool ParseBool(std::string_view text, bool& out) {
    if (text == "true" || text == "yes" || text == "on" || text == "1") {
        out = true;
        return true;
    }
    if (text == "false" || text == "no" || text == "off" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

// Applies one key; an empty text when it was used, else why not.
std::string ApplyKey(std::string_view key, std::string_view value, Preferences& values) {
    if (key == kUploadSlotsKey) {
        const auto slots = ParseDecimal<std::size_t>(value, 1, kMaxUploadSlots);
        if (!slots) {
            return std::string(key) + " must be 1 to " + std::to_string(kMaxUploadSlots);
        }
        values.uploadSlots = *slots;
        return {};
    }
    if (key == kUploadLimitKey || key == kDownloadLimitKey) {
        const auto limit = ParseDecimal<long long>(value, 0, kMaxRateLimitKiB);
        if (!limit) {
            return std::string(key) + " must be 0 (no limit) to " +
                   std::to_string(kMaxRateLimitKiB);
        }
        (key == kUploadLimitKey ? values.uploadLimitKiB : values.downloadLimitKiB) = *limit;
        return {};
    }
    if (key == kNotificationsKey || key == kPortMappingKey) {
        if (!ParseBool(value,
                       key == kNotificationsKey ? values.notifications : values.portMapping)) {
            return std::string(key) + " must be true or false";
        }
        return {};
    }
    if (key == kWebPasswordHashKey) {
        return {};  // the web front's own line
    }
    return "unknown key " + std::string(key);
}

std::string ValueText(std::string_view key, const Preferences& values) {
    if (key == kUploadSlotsKey) {
        return std::to_string(values.uploadSlots);
    }
    if (key == kUploadLimitKey) {
        return std::to_string(values.uploadLimitKiB);
    }
    if (key == kDownloadLimitKey) {
        return std::to_string(values.downloadLimitKiB);
    }
    if (key == kPortMappingKey) {
        return values.portMapping ? "true" : "false";
    }
    return values.notifications ? "true" : "false";
}

bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

std::string ReadWholeText(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return {};
    }
    std::ostringstream read;
    read << file.rdbuf();
    return read.str();
}

// Creates the folders of the path's folder; true when they exist.
bool EnsureFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 || MakeFolders(path.substr(0, slash + 1));
}

}  // namespace

std::string DefaultPreferencesPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/brindlenet/preferences.conf";
}

PreferencesFileContent ReadPreferencesFile(const std::string& path) {
    PreferencesFileContent content;
    std::ifstream file(path);
    if (!file) {
        return content;
    }
    content.exists = true;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::string_view key;
        std::string_view value;
        if (!SplitLine(line, key, value)) {
            continue;
        }
        std::string problem = ApplyKey(key, value, content.values);
        if (!problem.empty()) {
            content.problems.push_back("line " + std::to_string(number) + ": " + problem);
        }
    }
    return content;
}

std::string PreferencesText(const std::string& existingText, const Preferences& values) {
    std::string text;
    constexpr int kKeys = 5;
    bool written[kKeys] = {};
    const std::string_view keys[kKeys] = {kUploadSlotsKey, kUploadLimitKey, kDownloadLimitKey,
                                          kNotificationsKey, kPortMappingKey};
    std::istringstream lines(existingText);
    std::string line;
    while (std::getline(lines, line)) {
        std::string_view key;
        std::string_view value;
        bool replaced = false;
        if (SplitLine(line, key, value)) {
            for (int k = 0; k < kKeys; ++k) {
                if (key == keys[k] && !written[k]) {
                    text += std::string(keys[k]) + " = " + ValueText(keys[k], values) + "\n";
                    written[k] = replaced = true;
                    break;
                }
                if (key == keys[k]) {
                    replaced = true;  // a repeated key: the first place keeps the value
                    break;
                }
            }
        }
        if (!replaced) {
            text += line + "\n";
        }
    }
    if (existingText.empty()) {
        text += "# Brindlenet preferences. Rates are in KiB/s; 0 means no limit.\n";
    }
    for (int k = 0; k < kKeys; ++k) {
        if (!written[k]) {
            text += std::string(keys[k]) + " = " + ValueText(keys[k], values) + "\n";
        }
    }
    return text;
}

std::string ReadPreferencesValue(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::string_view lineKey;
        std::string_view value;
        if (SplitLine(line, lineKey, value) && lineKey == key) {
            return std::string(value);
        }
    }
    return {};
}

bool WritePreferencesValue(const std::string& path, const std::string& key,
                           const std::string& value) {
    std::istringstream lines(ReadWholeText(path));
    std::string text;
    std::string line;
    bool written = false;
    while (std::getline(lines, line)) {
        std::string_view lineKey;
        std::string_view oldValue;
        if (!written && SplitLine(line, lineKey, oldValue) && lineKey == key) {
            text += key + " = " + value + "\n";
            written = true;
        } else {
            text += line + "\n";
        }
    }
    if (!written) {
        text += key + " = " + value + "\n";
    }
    return EnsureFolderOf(path) && ReplaceFileContent(path, text, 0600);
}

bool WritePreferencesFile(const std::string& path, const Preferences& values) {
    const std::string existing = ReadWholeText(path);
    return EnsureFolderOf(path) &&
           ReplaceFileContent(path, PreferencesText(existing, values), 0600);
}

}  // namespace brindle
