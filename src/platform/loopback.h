#pragma once

#include "platform/unique_fd.h"

namespace tamber {

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none could be had.
int freeLoopbackPort();

// A TCP connection to 127.0.0.1:`port`; empty when it could not be made.
UniqueFd connectLoopback(int port);

}  // namespace tamber
