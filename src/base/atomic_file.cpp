#include "base/atomic_file.h"

#include "base/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace brindle {

namespace {

// The file a save replaces: symbolic links are followed, also to a target
// that does not exist yet. Empty when the links do not end.
std::string SaveTarget(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return current;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), link, sizeof link);
        if (length <= 0 || length == static_cast<ssize_t>(sizeof link)) {
            return {};
        }
        std::string next(link, static_cast<std::size_t>(length));
        // A relative target is read from the link's own folder.
        const std::size_t slash = current.find_last_of('/');
        if (next.front() != '/' && slash != std::string::npos) {
            next = current.substr(0, slash + 1) + next;
        }
        current = std::move(next);
    }
    return {};
}

}  // namespace

bool ReplaceFileContent(const std::string& path, const std::string& text, unsigned newFileMode) {
    const std::string target = SaveTarget(path);
    if (target.empty()) {
        return false;
    }
    // An existing file that may not be written stays as it is, although the
    // rename below could replace it.
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists &&
        !FileHandle(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))) {
        return false;
    }

    const std::string temporary = target + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temporary.c_str());  // left by an earlier process of the same id
    FileHandle file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFileMode));
    if (!file) {
        return false;
    }
    // The old file's permissions carry over (config.txt holds a password).
    bool ok = (!exists || ::fchmod(file.fd(), old.st_mode & 07777) == 0) &&
              WriteAll(file.fd(), text.data(), text.size()) && ::fsync(file.fd()) == 0;
    ok = file.Close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable; the text is in place whatever this gives.
    std::string folder = target.substr(0, target.find_last_of('/') + 1);
    FileHandle dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) {
        ::fsync(dir.fd());
    }
    return true;
}

}  // namespace brindle
