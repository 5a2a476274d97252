#include "base/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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
    FilePtr file(std::fopen(path.c_str(), "r"));
    if (!file) {
        return content;
    }
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

bool WriteWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t moved = ::write(fd, text.data() + done, text.size() - done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(moved);
    }
    return true;
}

// The file a save replaces: a symbolic link is followed, so the link stays and
// its target gets the new values.
std::string SaveTarget(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return path;
}

}  // namespace

bool WriteConfigFile(const std::string& path, const AppSettings& settings) {
    const std::string target = SaveTarget(path);
    // An existing file that may not be written stays as it is, although the
    // rename below could replace it.
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (probe < 0) {
            return false;
        }
        ::close(probe);
    }

    // The new values go to a file beside the old one and replace it only once
    // they are all on disk, so a full disk or a crash never leaves a short file.
    const std::string temporary = target + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temporary.c_str());  // left by an earlier process of the same id
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    // The old file's permissions carry over: it holds the password in clear text.
    bool ok = (!exists || ::fchmod(fd, old.st_mode & 07777) == 0) &&
              WriteWhole(fd, ConfigText(settings)) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable; the values are in place whatever this gives.
    std::string folder = target.substr(0, target.find_last_of('/') + 1);
    int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace brindle
