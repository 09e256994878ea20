#pragma once

// Crafted frames for the tests and benchmarks that hand packets to the meter directly. Header
// only, with no test framework, so that benchmarks can include it (the per-packet benchmark puts
// its Ethernet and VLAN headers in front).

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <vector>

namespace orvektest {

// nWire bytes (at least a link header of nHeader bytes and an IPv6 header): the link header and
// everything else 0xEE, then an IPv4 or IPv6 header's version and, when given, its source and
// destination (text forms of the family).
inline std::vector<uint8_t> MakeIpFrame(uint32_t nHeader, bool bIPv6, uint32_t nWire,
                                        const char* szSource = "", const char* szDest = "") {
    std::vector<uint8_t> frame(std::max(nWire, nHeader + 40), 0xEE);
    frame[nHeader] = bIPv6 ? 0x60 : 0x45;
    uint8_t* pSource = frame.data() + nHeader + (bIPv6 ? 8 : 12);
    if (*szSource != 0) {
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, szSource, pSource);
        inet_pton(bIPv6 ? AF_INET6 : AF_INET, szDest, pSource + (bIPv6 ? 16 : 4));
    }
    return frame;
}

} // namespace orvektest
