// The owning handle of a file or pipe descriptor, and the plain operations on
// one.
#pragma once

#include <cstddef>

namespace brindle {

// Owns one descriptor of a file or pipe end and closes it when it goes.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release();
    // Closes the descriptor held (errors unseen) and takes `fd` instead.
    void reset(int fd = -1);
    // Closes the descriptor now. False when close reported an error (a delayed
    // write error of a file, for instance); the descriptor is gone either way.
    bool Close();

  private:
    int fd_ = -1;
};

// A new pipe, both ends close on exec (with `flags` such as O_NONBLOCK
// added). False, with both handles left empty, when none could be made.
[[nodiscard]] bool OpenPipe(FileHandle& readEnd, FileHandle& writeEnd, int flags = 0);

// Writes every byte to a file or pipe; retries after partial writes and EINTR.
// False on the first write error.
[[nodiscard]] bool WriteAll(int fd, const char* data, std::size_t length);

}  // namespace brindle
