#pragma once

// Walking rtnetlink messages and their attributes, for the pure parsers of received buffers:
// every length is checked against the bytes that are there before anything is read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string>

// How a walk over a buffer of messages ended.
enum class ENetlinkWalk : uint8_t {
    Whole,     // at the buffer's end, or where the caller stopped
    CutHeader, // at bytes too few for a message header
    Malformed  // at a message whose length is shorter than its header or past the buffer
};

// Calls fn(header, pMessage) for each message in nLength bytes at pBuffer, pMessage pointing at
// the message's header with header.nlmsg_len bytes readable; fn returns false to stop. Stops at
// bytes that do not hold a whole message and says why.
template <class Fn>
ENetlinkWalk ForEachNetlinkMessage(const uint8_t* pBuffer, size_t nLength, Fn&& fn) {
    size_t nOffset = 0;
    while (nOffset < nLength) {
        nlmsghdr header;
        if (nLength - nOffset < sizeof header) {
            return ENetlinkWalk::CutHeader;
        }
        std::memcpy(&header, pBuffer + nOffset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > nLength - nOffset) {
            return ENetlinkWalk::Malformed;
        }
        if (!fn(header, pBuffer + nOffset)) {
            break;
        }
        // Past the end when the last message lacks its padding, which ends the loop.
        nOffset += NLMSG_ALIGN(header.nlmsg_len);
    }
    return ENetlinkWalk::Whole;
}

// Calls fn(type, payload, payload length) for each attribute in nLength bytes at pData; fn
// returns false to stop. Returns false, having stopped, at an attribute whose length does not fit
// or when fn stopped. Padding after the last attribute is allowed. Nested attributes may carry
// NLA_F_NESTED: fn gets the type without it.
template <class Fn> bool ForEachAttribute(const uint8_t* pData, size_t nLength, Fn&& fn) {
    size_t nOffset = 0;
    while (nOffset + sizeof(rtattr) <= nLength) {
        rtattr attribute;
        std::memcpy(&attribute, pData + nOffset, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > nLength - nOffset) {
            return false;
        }
        if (!fn(static_cast<unsigned>(attribute.rta_type & NLA_TYPE_MASK),
                pData + nOffset + RTA_LENGTH(0), size_t{attribute.rta_len} - RTA_LENGTH(0))) {
            return false;
        }
        nOffset += RTA_ALIGN(attribute.rta_len);
    }
    return true;
}

// The attributes of a message whose fixed header (ifinfomsg, ifaddrmsg, ...) is nFixed bytes:
// ForEachAttribute over what follows it. True for a message too short to have any.
template <class Fn>
bool ForEachMessageAttribute(const uint8_t* pMessage, size_t nMessageLength, size_t nFixed,
                             Fn&& fn) {
    const size_t nStart = NLMSG_HDRLEN + NLMSG_ALIGN(nFixed);
    if (nMessageLength <= nStart) {
        return true;
    }
    return ForEachAttribute(pMessage + nStart, nMessageLength - nStart, std::forward<Fn>(fn));
}

// A string attribute: up to its terminating zero, which the kernel always sends but a liar may
// leave out.
inline std::string ReadStringAttribute(const uint8_t* pPayload, size_t nLength) {
    const char* szText = reinterpret_cast<const char*>(pPayload);
    return std::string(szText, strnlen(szText, nLength));
}

// A fixed-size attribute value; false when the payload is too short for it.
template <class T> bool ReadAttribute(const uint8_t* pPayload, size_t nLength, T& value) {
    if (nLength < sizeof value) {
        return false;
    }
    std::memcpy(&value, pPayload, sizeof value);
    return true;
}
