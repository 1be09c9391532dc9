// Private to the POSIX platform layer: network port addresses and the bounded connect.
#pragma once

#include <errno.h>

#include <string>

namespace posix {

struct NetAddress {
  bool rfc2217;  // rfc2217:// rather than tcp://
  std::string host, port;
};

// The errno of an open whose host name does not resolve (getaddrinfo has no errno of
// its own for it): distinct from a refused connection (ECONNREFUSED) and from a
// connect that timed out (ETIMEDOUT).
const int kNoSuchHost = EADDRNOTAVAIL;

// Parses "rfc2217://HOST:PORT" or "tcp://HOST:PORT"; false for anything else.
bool net_parse(const char *path, NetAddress *out);
// A connected, non-blocking TCP socket to the address, within a few seconds; -1 with
// errno set (ECONNREFUSED, ETIMEDOUT, kNoSuchHost, ...). The open that follows fails
// with ECONNRESET when an RFC 2217 server closes the connection during the negotiation.
int net_connect(const NetAddress &addr);

}  // namespace posix
