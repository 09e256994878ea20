#include "ConnectionUsage.h"

#include <arpa/inet.h>

std::string ConnectionProtocolName(uint32_t nProtocol) {
    switch (nProtocol) {
    case 6:
        return "tcp";
    case 17:
        return "udp";
    default:
        return std::to_string(nProtocol);
    }
}

std::string FormatAddress(const std::string& strAddress) {
    char szText[INET6_ADDRSTRLEN] = {};
    const int nFamily = strAddress.size() == 4    ? AF_INET
                        : strAddress.size() == 16 ? AF_INET6
                                                  : AF_UNSPEC;
    if (nFamily == AF_UNSPEC ||
        inet_ntop(nFamily, strAddress.data(), szText, sizeof szText) == nullptr) {
        return "?";
    }
    return szText;
}

std::string FormatEndpoint(const std::string& strAddress, uint32_t nPort,
                           const std::string& strHost) {
    const std::string strShown = strHost.empty() ? FormatAddress(strAddress) : strHost;
    const bool bBrackets = strHost.empty() && strAddress.size() == 16;
    return (bBrackets ? "[" + strShown + "]" : strShown) + ":" + std::to_string(nPort);
}
