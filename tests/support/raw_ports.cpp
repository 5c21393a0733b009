// Ports for the failure paths, served inside the test process: one that refuses every
// connection, one that accepts and then stays silent, and a UDP port that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

#include "servers.h"

namespace durl_test {

namespace {

int bound_socket(int &port, int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "cannot bind a loopback port";
        if (fd >= 0) close(fd);
        port = 0;
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// Accepts connections, reads and discards whatever arrives, answers nothing, and closes a
// connection only when the client has closed it. Runs for the life of the process.
void black_hole_loop(int listener) {
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    char buf[4096];
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) <= 0) continue;
        for (size_t i = fds.size(); i-- > 1;) {
            if (!fds[i].revents) continue;
            if (recv(fds[i].fd, buf, sizeof buf, 0) <= 0) {
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) fds.push_back({c, POLLIN, 0});
        }
    }
}

}  // namespace

int closed_port() {
    // Bound but never listening: the kernel refuses connects (RST), and as long as the socket
    // stays open no other program can take the port.
    static std::once_flag once;
    static int port = 0;
    std::call_once(once, [] { bound_socket(port); });
    return port;
}

int black_hole_port() {
    static std::once_flag once;
    static int port = 0;
    std::call_once(once, [] {
        int fd = bound_socket(port);
        if (fd < 0) return;
        if (listen(fd, 64) != 0) {
            ADD_FAILURE() << "cannot listen on the black-hole port";
            port = 0;
            return;
        }
        std::thread(black_hole_loop, fd).detach();
    });
    return port;
}

int silent_udp_port() {
    // Bound and never read: datagrams queue (and are dropped when the buffer fills) and no
    // ICMP "unreachable" comes back, exactly like a peer that is there but says nothing.
    static std::once_flag once;
    static int port = 0;
    std::call_once(once, [] { bound_socket(port, SOCK_DGRAM); });
    return port;
}

}  // namespace durl_test
