#pragma once

#include <cstddef>
#include <cstdint>

// Reads one buffer of rtnetlink messages as the address monitor receives them and tells whether
// any of them may change the device list or the host's addresses: address added or removed, link
// added, removed, renamed or set up or down. Wireless events, which arrive as link messages
// carrying only radio news, and link messages that only report the promiscuous flag flipping (as
// captures opening and closing cause), do not count. Pure: reads at most nLength bytes.
bool IsAddressChange(const uint8_t* pBuffer, size_t nLength);
