#include "support/ListeningPort.h"

#include "support/WaitFor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace vorn::test {

namespace {

std::set<std::string> SocketInodes(pid_t pid)
{
    std::set<std::string> inodes;
    std::error_code ec;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (auto it = std::filesystem::directory_iterator(fds, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string target = std::filesystem::read_symlink(it->path(), ec).string();
        if (!ec && target.starts_with("socket:[") && target.ends_with("]"))
            inodes.insert(target.substr(8, target.size() - 9));
        ec.clear();
    }
    return inodes;
}

// Lines of /proc/net/tcp: "sl local_address rem_address st ... uid timeout inode ...".
int PortOfListeningSocket(const std::set<std::string>& inodes)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout
            >> inode;
        const auto colon = local.find(':');
        if (state == "0A" && colon != std::string::npos && inodes.count(inode))
            return std::stoi(local.substr(colon + 1), nullptr, 16);
    }
    return 0;
}

} // namespace

int ListeningPort(pid_t pid, std::chrono::milliseconds timeout)
{
    int port = 0;
    (void)WaitFor([&] { return (port = PortOfListeningSocket(SocketInodes(pid))) != 0; }, timeout);
    return port;
}

RefusingPort::RefusingPort()
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        throw std::runtime_error("cannot bind a socket on 127.0.0.1: " + reason);
    }
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    close(fd_);
}

} // namespace vorn::test
