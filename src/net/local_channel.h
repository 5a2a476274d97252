// Local channels between processes of one user on one machine: stream sockets
// in the abstract Unix namespace (no file to leave behind), the check that the
// other end runs as the same user, and passing an open socket across.
#pragma once

#include <functional>
#include <string>

#include "net/socket.h"

namespace brindle {

// A listening channel under `name`; invalid when the name is taken or the
// socket could not be made.
[[nodiscard]] Socket ListenLocal(const std::string& name);
// The next caller of a listening channel; invalid when none could be taken.
[[nodiscard]] Socket AcceptLocal(int listening);
// A connection to the channel `name`; invalid when nobody listens there.
[[nodiscard]] Socket ConnectLocal(const std::string& name);
// True when the process at the other end of `channel` runs as our user.
[[nodiscard]] bool PeerIsSameUser(int channel);

// Sends the descriptor `fd` (with one byte) over `channel`.
[[nodiscard]] bool SendDescriptor(int channel, int fd);
// Receives a descriptor sent with SendDescriptor, waiting until `deadline`
// or until `stop` (asked a few times a second) says to give up; an invalid
// socket when none came or the other end closed.
[[nodiscard]] Socket ReceiveDescriptor(int channel, Deadline deadline,
                                       const std::function<bool()>& stop = {});

}  // namespace brindle
