#include "base/file_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace brindle {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileHandle, CloseReportsAnErrorAndLeavesNothingOpen) {
    FileHandle readEnd;
    FileHandle writeEnd;
    ASSERT_TRUE(OpenPipe(readEnd, writeEnd));
    EXPECT_TRUE(WriteAll(writeEnd.fd(), "abc", 3));
    EXPECT_TRUE(writeEnd.Close());
    EXPECT_FALSE(writeEnd.valid());
    EXPECT_TRUE(writeEnd.Close());  // nothing left to close
    char got[4] = {};
    EXPECT_EQ(::read(readEnd.fd(), got, sizeof got), 3);
    EXPECT_STREQ(got, "abc");

    int stolen = readEnd.fd();
    ::close(stolen);  // closed behind the owner's back: its close fails
    EXPECT_FALSE(readEnd.Close());
    EXPECT_FALSE(readEnd.valid());

    FileHandle readOnly(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(readOnly);
    EXPECT_FALSE(WriteAll(readOnly.fd(), "x", 1));
}

// A move hands the descriptor over; an assignment closes the one it replaces.
TEST(FileHandle, MovesOwnershipAndClosesWhatItReplaces) {
    FileHandle readEnd;
    FileHandle writeEnd;
    ASSERT_TRUE(OpenPipe(readEnd, writeEnd));
    const int readFd = readEnd.fd();
    const int writeFd = writeEnd.fd();

    FileHandle moved(std::move(readEnd));
    EXPECT_FALSE(readEnd);
    EXPECT_EQ(moved.fd(), readFd);
    moved = std::move(writeEnd);
    EXPECT_FALSE(writeEnd);
    EXPECT_EQ(moved.fd(), writeFd);
    EXPECT_FALSE(IsOpen(readFd));
    EXPECT_TRUE(IsOpen(writeFd));

    int kept = moved.release();
    EXPECT_FALSE(moved);
    { FileHandle owner(kept); }
    EXPECT_FALSE(IsOpen(kept));
}

TEST(FileHandle, PipeEndsCloseOnExecAndTakeExtraFlags) {
    FileHandle readEnd;
    FileHandle writeEnd;
    ASSERT_TRUE(OpenPipe(readEnd, writeEnd, O_NONBLOCK));
    for (const FileHandle* end : {&readEnd, &writeEnd}) {
        EXPECT_TRUE(::fcntl(end->fd(), F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(::fcntl(end->fd(), F_GETFL) & O_NONBLOCK);
    }
    char byte = 0;
    EXPECT_EQ(::read(readEnd.fd(), &byte, 1), -1);  // empty: no wait

    ASSERT_TRUE(OpenPipe(readEnd, writeEnd));
    EXPECT_FALSE(::fcntl(readEnd.fd(), F_GETFL) & O_NONBLOCK);
}

}  // namespace
}  // namespace brindle
