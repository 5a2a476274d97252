#include "base/file_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace brindle {

FileHandle::~FileHandle() {
    reset();
}

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int FileHandle::release() {
    return std::exchange(fd_, -1);
}

void FileHandle::reset(int fd) {
    int old = std::exchange(fd_, fd);
    if (old >= 0) {
        ::close(old);
    }
}

bool FileHandle::Close() {
    int old = std::exchange(fd_, -1);
    return old < 0 || ::close(old) == 0;
}

bool OpenPipe(FileHandle& readEnd, FileHandle& writeEnd, int flags) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | flags) != 0) {
        readEnd.reset();
        writeEnd.reset();
        return false;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace brindle
