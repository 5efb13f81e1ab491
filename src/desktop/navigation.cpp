#include "desktop/navigation.h"

#include <glib.h>

namespace tamber::desktop {

PageAddress pageAddress(const char* uri) {
  PageAddress address;
  if (uri == nullptr) {
    return address;
  }
  // GLib's RFC 3986 parser, not string matching: "http://127.0.0.1:P@elsewhere/" has the
  // host "elsewhere", whatever its text begins with.
  GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr);
  if (parsed == nullptr) {
    return address;
  }
  const char* scheme = g_uri_get_scheme(parsed);
  const char* host = g_uri_get_host(parsed);
  address.scheme = scheme != nullptr ? scheme : "";
  address.host = host != nullptr ? host : "";
  address.port = g_uri_get_port(parsed);
  g_uri_unref(parsed);
  return address;
}

bool navigationAllowed(const char* uri, int port) {
  const PageAddress address = pageAddress(uri);
  return address.scheme == "http" && address.host == "127.0.0.1" && address.port == port;
}

}  // namespace tamber::desktop
