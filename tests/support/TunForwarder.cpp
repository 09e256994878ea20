// A user-space tunnel for live tests, as a VPN client runs one: it makes the tun device TUN in its
// network namespace and carries each packet read from it as one UDP datagram from LOCAL:PORT to
// PEER:PEERPORT (its twin in another namespace, or a local process), writing each datagram it
// receives there back into the tun device. Prints "ready" once both are open, and connects its
// socket DELAY_MS later (0 by default), as a VPN client may make its device before it connects;
// runs until killed. Over TCP (MODE tcp-connect, or tcp-listen for the end that accepts one
// connection on LOCAL:PORT) each packet goes with a two-byte length before it, as OpenVPN frames
// them.
//
//   orvek-tunfwd TUN LOCAL PORT PEER PEERPORT [DELAY_MS [udp|tcp-connect|tcp-listen]]
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void Die(const char* szWhat) {
    std::perror(szWhat);
    std::exit(1);
}

sockaddr_in Endpoint(const char* szAddress, const char* szPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(szPort)));
    if (inet_pton(AF_INET, szAddress, &address.sin_addr) != 1) {
        Die(szAddress);
    }
    return address;
}

// Sends all of a buffer on a stream socket.
void SendAll(int hSocket, const unsigned char* pData, size_t nLength) {
    while (nLength > 0) {
        const ssize_t nSent = send(hSocket, pData, nLength, MSG_NOSIGNAL);
        if (nSent <= 0) {
            Die("send");
        }
        pData += nSent;
        nLength -= static_cast<size_t>(nSent);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string strMode = argc == 8 ? argv[7] : "udp";
    if (argc < 6 || argc > 8 ||
        (strMode != "udp" && strMode != "tcp-connect" && strMode != "tcp-listen")) {
        std::fprintf(
            stderr,
            "usage: %s TUN LOCAL PORT PEER PEERPORT [DELAY_MS [udp|tcp-connect|tcp-listen]]\n",
            argv[0]);
        return 2;
    }
    const bool bTcp = strMode != "udp";
    const int hTun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, argv[1], IFNAMSIZ - 1);
    if (hTun < 0 || ioctl(hTun, TUNSETIFF, &request) != 0) {
        Die("tun");
    }
    int hSocket = socket(AF_INET, (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Endpoint(argv[2], argv[3]);
    const sockaddr_in peer = Endpoint(argv[4], argv[5]);
    const int nOne = 1;
    if (hSocket < 0 || setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne) != 0 ||
        bind(hSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        (strMode == "tcp-listen" && listen(hSocket, 1) != 0)) {
        Die("socket");
    }
    std::puts("ready");
    std::fflush(stdout);
    usleep(argc >= 7 ? static_cast<useconds_t>(std::atoi(argv[6])) * 1000 : 0);
    if (strMode == "tcp-listen") {
        hSocket = accept4(hSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (hSocket < 0) {
            Die("accept");
        }
    } else if (connect(hSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        Die("connect");
    }
    static unsigned char buffer[65536 + 2], stream[2 * sizeof buffer];
    size_t nStream = 0; // bytes of the TCP stream not yet written to the tun device
    pollfd waits[2] = {{hTun, POLLIN, 0}, {hSocket, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            Die("poll");
        }
        if (waits[0].revents != 0) {
            const ssize_t nRead = read(hTun, buffer + 2, sizeof buffer - 2);
            if (nRead > 0 && bTcp) {
                buffer[0] = static_cast<unsigned char>(nRead >> 8);
                buffer[1] = static_cast<unsigned char>(nRead);
                SendAll(hSocket, buffer, static_cast<size_t>(nRead) + 2);
            } else if (nRead > 0) {
                send(hSocket, buffer + 2, static_cast<size_t>(nRead), 0);
            }
        }
        if (waits[1].revents != 0 && !bTcp) {
            const ssize_t nRead = recv(hSocket, buffer, sizeof buffer, 0);
            if (nRead > 0) {
                (void)!write(hTun, buffer, static_cast<size_t>(nRead));
            }
        } else if (waits[1].revents != 0) {
            const ssize_t nRead = recv(hSocket, stream + nStream, sizeof stream - nStream, 0);
            if (nRead <= 0) {
                return 0; // the other end closed
            }
            nStream += static_cast<size_t>(nRead);
            size_t nDone = 0;
            while (nStream - nDone >= 2) {
                const size_t nPacket = size_t(stream[nDone]) << 8 | stream[nDone + 1];
                if (nStream - nDone - 2 < nPacket) {
                    break;
                }
                (void)!write(hTun, stream + nDone + 2, nPacket);
                nDone += 2 + nPacket;
            }
            std::memmove(stream, stream + nDone, nStream - nDone);
            nStream -= nDone;
        }
    }
}
