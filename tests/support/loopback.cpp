#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace testsupport {

namespace {

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

}  // namespace

int FreeLoopbackPort() {
    const Socket socket;
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    if (socket.Get() < 0 ||
        ::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    return ntohs(address.sin_port);
}

bool LoopbackAccepts(int port) {
    const Socket socket;
    const sockaddr_in address = Loopback(port);
    return socket.Get() >= 0 && ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address),
                                          sizeof(address)) == 0;
}

}  // namespace testsupport
