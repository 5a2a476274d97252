// Loopback helpers shared by the suites that talk to a server or a peer over
// real sockets: connect, read to the end, and the request header block the
// directory client writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "net/socket.h"

namespace brindle::test {

// A connected socket to 127.0.0.1:`port`, invalid when the connect failed. A
// `receiveBuffer` above zero is set before connecting, so the window offered
// to the sender stays that small.
Socket ConnectLoopback(int port, int receiveBuffer = 0);

// Reads until the peer closes or `deadline` passes; `closed` (when given) says
// which of the two ended it.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10),
                            bool* closed = nullptr);

// The header block the directory client sends before a form body of `length`
// bytes to `host`:`port`.
std::string ExpectedHeaders(int port, std::size_t length, const std::string& host = "127.0.0.1");

// A loopback client that sends `request` to `port` and then reads nothing. Its
// small receive buffer makes a sender block after a few kilobytes. Invalid when
// the connect or the send failed.
Socket OpenStalledReader(int port, const std::string& request);

// What the peer of a connection has done, looked at without reading.
enum class PeerReply { Nothing, Data, Closed };
// Waits until `fd` has a byte or the peer's close to read, at most `deadline`.
PeerReply WaitForReply(int fd, std::chrono::milliseconds deadline);

}  // namespace brindle::test
