// Times the project's SFTP client on the small files of a folder, one session, one file after
// another as a walk fetches them (sizes from the listing), and on a large file when one is
// named, read over the session's own connection and over its second one (BulkReader):
//   sftp_client_files HOST PORT USER PASSWORD KNOWN_HOSTS REMOTE_DIR LOCAL_DIR [LARGE_FILE]
#include "sftpclient/SftpSession.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

// The large file over each connection in turn, into LOCAL_DIR/large-first and large-second.
int ReadLarge(vorn::sftp::SftpSession& session, const std::string& remote, const std::string& localDir)
{
    auto facts = session.Stat(remote);
    if (!facts) {
        std::fprintf(stderr, "%s\n", facts.message().c_str());
        return 1;
    }
    for (const char* way : { "first", "second" }) {
        session.SetBulkReadThreshold(way[0] == 'f' ? UINT64_MAX : vorn::sftp::SftpSession::bulkReadThreshold);
        const std::string local = localDir + "/large-" + way;
        const int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const auto start = std::chrono::steady_clock::now();
        auto got = session.Download(remote, fd, 0, facts->size);
        ::close(fd);
        if (!got) {
            std::fprintf(stderr, "%s\n", got.message().c_str());
            return 1;
        }
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-8s %-14s %8.2f s %9.1f MB/s\n", "client", (std::string("large, ") + way).c_str(),
            seconds, static_cast<double>(*got) / seconds / 1048576.0);
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 8 && argc != 9) {
        std::fprintf(stderr,
            "usage: sftp_client_files HOST PORT USER PASSWORD KNOWN_HOSTS REMOTE_DIR LOCAL_DIR "
            "[LARGE_FILE]\n");
        return 2;
    }
    vorn::sftp::SftpSession session;
    session.SetKnownHostsFiles("", argv[5]);
    vorn::Status s = session.Connect(argv[1], static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (s)
        s = session.Login(argv[3], argv[4]);
    if (!s) {
        std::fprintf(stderr, "%s\n", s.message().c_str());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    auto entries = session.List(argv[6]);
    if (!entries) {
        std::fprintf(stderr, "%s\n", entries.message().c_str());
        return 1;
    }
    long long bytes = 0;
    int files = 0;
    for (const auto& e : *entries) {
        const std::string local = std::string(argv[7]) + "/" + e.name;
        const int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        auto got = session.Download(std::string(argv[6]) + "/" + e.name, fd, 0, e.size);
        ::close(fd);
        if (!got) {
            std::fprintf(stderr, "%s\n", got.message().c_str());
            return 1;
        }
        bytes += static_cast<long long>(*got);
        ++files;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-8s %-14s %8.2f s %9.1f MB/s %9.1f files/s\n", "client", "read small", seconds,
        bytes / seconds / 1048576.0, files / seconds);
    return argc == 9 ? ReadLarge(session, argv[8], argv[7]) : 0;
}
