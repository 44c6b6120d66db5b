#ifndef KORVANE_PLATFORM_ADDRESS_LIST_H
#define KORVANE_PLATFORM_ADDRESS_LIST_H

// Copies a resolver's address list into the shim's own form. Both socket backends get the
// same addrinfo layout from their resolver; the header that declares it is theirs to include.

#include <cstring>
#include <vector>

#include "platform/socket.h"

namespace korvane::platform {

template <class AddrInfo>
void CopyAddressList(const AddrInfo* list, std::vector<ResolvedAddress>* out) {
  for (const AddrInfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(SocketAddress::bytes)) continue;
    ResolvedAddress r;
    r.family = ai->ai_family;
    r.socket_type = ai->ai_socktype;
    r.protocol = ai->ai_protocol;
    std::memcpy(r.address.bytes, ai->ai_addr, ai->ai_addrlen);
    r.address.length = static_cast<int>(ai->ai_addrlen);
    out->push_back(r);
  }
}

}  // namespace korvane::platform

#endif
