// A user-space tunnel for live tests, as a VPN client runs one: it makes the tun device TUN in its
// network namespace and carries each packet read from it as one UDP datagram from LOCAL:PORT to
// PEER:PEERPORT (its twin in another namespace, or a local process), writing each datagram it
// receives there back into the tun device. Prints "ready" once both are open, and connects its
// socket DELAY_MS later (0 by default), as a VPN client may make its device before it connects;
// runs until killed.
//
//   orvek-tunfwd TUN LOCAL PORT PEER PEERPORT [DELAY_MS]
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
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

} // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s TUN LOCAL PORT PEER PEERPORT [DELAY_MS]\n", argv[0]);
        return 2;
    }
    const int hTun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, argv[1], IFNAMSIZ - 1);
    if (hTun < 0 || ioctl(hTun, TUNSETIFF, &request) != 0) {
        Die("tun");
    }
    const int hUdp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Endpoint(argv[2], argv[3]);
    const sockaddr_in peer = Endpoint(argv[4], argv[5]);
    if (hUdp < 0 || bind(hUdp, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        Die("udp");
    }
    std::puts("ready");
    std::fflush(stdout);
    usleep(argc == 7 ? static_cast<useconds_t>(std::atoi(argv[6])) * 1000 : 0);
    if (connect(hUdp, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        Die("connect");
    }
    static char buffer[65536];
    pollfd waits[2] = {{hTun, POLLIN, 0}, {hUdp, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            Die("poll");
        }
        if (waits[0].revents != 0) {
            const ssize_t nRead = read(hTun, buffer, sizeof buffer);
            if (nRead > 0) {
                send(hUdp, buffer, static_cast<size_t>(nRead), 0);
            }
        }
        if (waits[1].revents != 0) {
            const ssize_t nRead = recv(hUdp, buffer, sizeof buffer, 0);
            if (nRead > 0) {
                (void)!write(hTun, buffer, static_cast<size_t>(nRead));
            }
        }
    }
}
