// Address lookup: names and dotted addresses to IPv4 addresses. Both calls
// may block on the resolver, so the GUI thread never makes them.
#pragma once

#include <cstdint>

// IPv4 address of a dotted address or host name, network byte order; 0 means
// not valid (null or empty text, 0.0.0.0, a name that doesn't resolve).
// "255.255.255.255" gives 0xFFFFFFFF.
uint32_t GetAddr(const char *name);

// The local IPv4 address, network byte order: the host name's address, else
// the source address of a UDP socket connected to 127.0.0.1; 0 if none.
uint32_t GetLocalAddr();
