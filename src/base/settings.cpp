#include "base/settings.h"

#include "base/atomic_file.h"
#include "base/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace brindle {

namespace {

// Closes a C stream when it goes.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The first token of a line buffer: from the first byte that is neither CR nor
// LF up to the next CR, LF or the terminating zero.
std::string FirstToken(const char* buffer) {
    const char* start = buffer + std::strspn(buffer, "\r\n");
    return std::string(start, std::strcspn(start, "\r\n"));
}

}  // namespace

bool AppSettings::Complete() const {
    return !serverUrl.empty() && !userName.empty() && !sharedDirectory.empty() &&
           !connection.empty() && !password.empty();
}

ConfigFileContent ReadConfigFile(const std::string& path) {
    ConfigFileContent content;
    // Opened without waiting, so a FIFO or device put there cannot hold
    // start-up; anything but a regular file is taken as no file at all.
    FileHandle opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!opened || ::fstat(opened.fd(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return content;
    }
    // The stream owns the descriptor once it is made.
    FilePtr file(::fdopen(opened.fd(), "r"));
    if (!file) {
        return content;
    }
    static_cast<void>(opened.release());
    content.opened = true;
    std::string* fields[] = {&content.values.serverUrl, &content.values.userName,
                             &content.values.sharedDirectory, &content.values.connection,
                             &content.values.password};
    for (std::string* field : fields) {
        // Each read takes at most 1023 bytes; a longer line goes on in the next read.
        char buffer[1024] = {};
        if (std::fgets(buffer, sizeof buffer, file.get()) == nullptr) {
            buffer[0] = '\0';
        }
        std::string token = FirstToken(buffer);
        if (token.empty()) {
            content.values = AppSettings{};
            return content;
        }
        *field = std::move(token);
    }
    content.complete = true;
    return content;
}

namespace {

// The file as it is written: each value up to its first zero byte, then a line feed.
std::string ConfigText(const AppSettings& settings) {
    std::string text;
    for (const std::string* value :
         {&settings.serverUrl, &settings.userName, &settings.sharedDirectory, &settings.connection,
          &settings.password}) {
        text += value->c_str();
        text += '\n';
    }
    return text;
}

}  // namespace

bool WriteConfigFile(const std::string& path, const AppSettings& settings) {
    return ReplaceFileContent(path, ConfigText(settings));
}

}  // namespace brindle
