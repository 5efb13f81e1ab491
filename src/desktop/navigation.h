#pragma once

#include <string>

namespace tamber::desktop {

// Whether the window may follow a navigation (a first load, link, form, reload or new-window
// request, in any frame) to `uri`: only when its scheme is "http", its host is "127.0.0.1"
// and it names the port `port` explicitly. Everything else is refused: no URI, text that is
// no URI, "localhost" or any other name for the address, another port, no port, "https"
// and every other scheme. The caller cancels a refused navigation without showing anything.
bool navigationAllowed(const char* uri, int port);

// The scheme, host and explicit port of `uri`; port -1 when it names none, everything empty
// when `uri` is null or cannot be parsed.
struct PageAddress {
  std::string scheme;
  std::string host;
  int port = -1;
};
PageAddress pageAddress(const char* uri);

}  // namespace tamber::desktop
