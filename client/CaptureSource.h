#pragma once

#include <string>

// Where a client's meter comes from, decided once at its start: the system service (orvekd),
// reached on its Unix socket, or, as before there was one, a capture helper of its own. Both
// speak the capture helper's protocol.
struct CaptureSource {
    static constexpr const char* kSocketVariable = "ORVEK_SOCKET";
    static constexpr const char* kDefaultSocket = "/run/orvek/orvekd.sock";
    // As a socket (--socket none, ORVEK_SOCKET=none): a helper of its own even where the service
    // runs, as for a test of the helper or a capture apart from the host's.
    static constexpr const char* kNoService = "none";

    std::string strSocket; // the service's socket; "" for a helper of its own
    bool IsService() const { return !strSocket.empty(); }
};

// The service's socket: strOption (--socket) when given, else $ORVEK_SOCKET when set and not
// empty, else the default path. bNamed tells whether the user named it (option or variable).
std::string ServiceSocketPath(const std::string& strOption, bool& bNamed);

// Whether something accepts a connection on the Unix stream socket at strPath; else errno.
int ProbeServiceSocket(const std::string& strPath);

// Decides the source: the service when its socket answers; a helper of its own when the default
// path does not answer, or when the socket named is kNoService. A socket the user named that does
// not answer throws CZarnException with a one-line text naming it and who named it.
CaptureSource ChooseCaptureSource(const std::string& strOption);

// One line for the About box, the History tab and --help: "counting by the system service" or
// "counting by its own capture helper".
std::string DescribeCaptureSource(const CaptureSource& source);

// One line for --help: which source this program would use now, with strOption (--socket), and
// why: "Counting now by the system service at PATH." and the like.
std::string DescribeSourceChoice(const std::string& strOption);
