// Compares the two SSH libraries Debian offers on the transfers a backup makes: one large file
// read and written with many requests in flight, and many small files read one after another.
//   sftp_libs HOST PORT USER PASSWORD REMOTE_DIR LOCAL_DIR
// REMOTE_DIR holds big.bin and small/ (the files to read); LOCAL_DIR receives the copies and
// gives big.bin back as up-<lib>.bin. Prints one line per library and transfer: seconds, MB/s
// and files/s.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Args {
    std::string host, user, password, remote, local;
    int port = 22;
};

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Die(const std::string& what)
{
    std::fprintf(stderr, "sftp_libs: %s\n", what.c_str());
    std::exit(1);
}

void Report(const char* lib, const char* what, double seconds, double bytes, int files)
{
    std::printf("%-8s %-14s %8.2f s %9.1f MB/s %9.1f files/s\n", lib, what, seconds,
        bytes / seconds / 1048576.0, files / seconds);
    std::fflush(stdout);
}

int Connect(const Args& a)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(a.port));
    inet_pton(AF_INET, a.host.c_str(), &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        Die("connect");
    // Without it Nagle's algorithm holds back every small request until the last is acknowledged.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// ---- libssh2: blocking calls; a large buffer makes it keep many requests in flight itself.
constexpr size_t kBuffer = 2 << 20;

struct Ssh2 {
    int fd = -1;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;
    explicit Ssh2(const Args& a)
    {
        fd = Connect(a);
        session = libssh2_session_init();
        if (libssh2_session_handshake(session, fd) != 0)
            Die("libssh2 handshake");
        if (libssh2_userauth_password(session, a.user.c_str(), a.password.c_str()) != 0)
            Die("libssh2 login");
        sftp = libssh2_sftp_init(session);
        if (!sftp)
            Die("libssh2 sftp");
    }
    ~Ssh2()
    {
        libssh2_sftp_shutdown(sftp);
        libssh2_session_disconnect(session, "");
        libssh2_session_free(session);
        close(fd);
    }
};

long long Ssh2Read(Ssh2& s, const std::string& remote, const std::string& local, std::vector<char>& buf)
{
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_open(s.sftp, remote.c_str(), LIBSSH2_FXF_READ, 0);
    if (!h)
        Die("libssh2 open " + remote);
    const int out = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // libssh2 reads ahead four times the buffer it is given: a buffer just above the listed
    // size keeps it from asking for megabytes past the end of a small file.
    struct stat st { };
    stat(remote.c_str(), &st);
    const size_t want = std::min(buf.size(), static_cast<size_t>(st.st_size) + 1);
    long long total = 0;
    for (;;) {
        const ssize_t n = libssh2_sftp_read(h, buf.data(), want);
        if (n < 0)
            Die("libssh2 read");
        if (n == 0)
            break;
        if (write(out, buf.data(), n) != n)
            Die("local write");
        total += n;
    }
    close(out);
    libssh2_sftp_close(h);
    return total;
}

long long Ssh2Write(Ssh2& s, const std::string& local, const std::string& remote, std::vector<char>& buf)
{
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_open(
        s.sftp, remote.c_str(), LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644);
    if (!h)
        Die("libssh2 open for writing");
    const int in = open(local.c_str(), O_RDONLY);
    long long total = 0;
    ssize_t got;
    while ((got = read(in, buf.data(), buf.size())) > 0) {
        for (ssize_t done = 0; done < got;) {
            const ssize_t n = libssh2_sftp_write(h, buf.data() + done, got - done);
            if (n < 0)
                Die("libssh2 write");
            done += n;
        }
        total += got;
    }
    close(in);
    libssh2_sftp_close(h);
    return total;
}

std::vector<std::string> Ssh2List(Ssh2& s, const std::string& folder)
{
    std::vector<std::string> names;
    LIBSSH2_SFTP_HANDLE* d = libssh2_sftp_opendir(s.sftp, folder.c_str());
    char name[512];
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    while (libssh2_sftp_readdir(d, name, sizeof name, &attrs) > 0)
        if (name[0] != '.')
            names.emplace_back(name);
    libssh2_sftp_closedir(d);
    return names;
}

// ---- libssh: asynchronous reads with a queue of requests; writes are one request each.
constexpr uint32_t kChunk = 32768;
constexpr size_t kInFlight = 64;

struct Ssh {
    ssh_session session = ssh_new();
    sftp_session sftp = nullptr;
    explicit Ssh(const Args& a)
    {
        ssh_options_set(session, SSH_OPTIONS_HOST, a.host.c_str());
        ssh_options_set(session, SSH_OPTIONS_PORT, &a.port);
        ssh_options_set(session, SSH_OPTIONS_USER, a.user.c_str());
        const int on = 1;
        ssh_options_set(session, SSH_OPTIONS_NODELAY, &on);
        const long timeout = 120;
        ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeout);
        if (ssh_connect(session) != SSH_OK)
            Die(std::string("libssh connect: ") + ssh_get_error(session));
        if (const int rc = ssh_userauth_password(session, nullptr, a.password.c_str());
            rc != SSH_AUTH_SUCCESS)
            Die("libssh login (" + std::to_string(rc) + "): " + ssh_get_error(session));
        sftp = sftp_new(session);
        if (!sftp || sftp_init(sftp) != SSH_OK)
            Die("libssh sftp");
    }
    ~Ssh()
    {
        sftp_free(sftp);
        ssh_disconnect(session);
        ssh_free(session);
    }
};

long long SshRead(Ssh& s, const std::string& remote, const std::string& local, std::vector<char>& buf)
{
    sftp_file f = sftp_open(s.sftp, remote.c_str(), O_RDONLY, 0);
    if (!f)
        Die("libssh open " + remote);
    const int out = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // A client knows the size from the listing: it asks for no more than one chunk past it.
    // (REMOTE_DIR is on this machine, so stat gives that size without a round trip.)
    struct stat st { };
    stat(remote.c_str(), &st);
    long long asked = 0;
    std::deque<uint32_t> ids;
    bool end = false;
    long long total = 0;
    while (!end && (!ids.empty() || asked <= st.st_size)) {
        while (!end && ids.size() < kInFlight && asked <= st.st_size) {
            asked += kChunk;
            const int id = sftp_async_read_begin(f, kChunk);
            if (id < 0)
                Die("libssh read begin");
            ids.push_back(static_cast<uint32_t>(id));
        }
        const int n = sftp_async_read(f, buf.data(), kChunk, ids.front());
        ids.pop_front();
        if (n < 0)
            Die("libssh read");
        if (n == 0) {
            end = true;
            continue;
        }
        if (write(out, buf.data(), n) != n)
            Die("local write");
        total += n;
    }
    close(out);
    sftp_close(f);
    return total;
}

long long SshWrite(Ssh& s, const std::string& local, const std::string& remote, std::vector<char>& buf)
{
    sftp_file f = sftp_open(s.sftp, remote.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!f)
        Die("libssh open for writing");
    const int in = open(local.c_str(), O_RDONLY);
    long long total = 0;
    ssize_t got;
    while ((got = read(in, buf.data(), kChunk)) > 0) {
        if (sftp_write(f, buf.data(), got) != got)
            Die("libssh write");
        total += got;
    }
    close(in);
    sftp_close(f);
    return total;
}

template <class Session, class Read, class Write>
void Measure(const char* lib, Session& s, const Args& a, const std::vector<std::string>& names, Read readFile,
    Write writeFile)
{
    std::vector<char> buf(kBuffer);
    double t = Now();
    const long long big = readFile(s, a.remote + "/big.bin", a.local + "/big-" + lib + ".bin", buf);
    Report(lib, "read large", Now() - t, big, 1);
    t = Now();
    const long long up
        = writeFile(s, a.local + "/big-" + lib + ".bin", a.remote + "/up-" + lib + ".bin", buf);
    Report(lib, "write large", Now() - t, up, 1);
    mkdir((a.local + "/small-" + lib).c_str(), 0755);
    t = Now();
    long long bytes = 0;
    for (const auto& n : names)
        bytes += readFile(s, a.remote + "/small/" + n, a.local + "/small-" + lib + "/" + n, buf);
    Report(lib, "read small", Now() - t, bytes, static_cast<int>(names.size()));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7)
        Die("usage: sftp_libs HOST PORT USER PASSWORD REMOTE_DIR LOCAL_DIR");
    Args a { argv[1], argv[3], argv[4], argv[5], argv[6], std::atoi(argv[2]) };
    libssh2_init(0);
    std::vector<std::string> names;
    {
        Ssh2 s(a);
        names = Ssh2List(s, a.remote + "/small");
        Measure("libssh2", s, a, names, Ssh2Read, Ssh2Write);
    }
    {
        Ssh s(a);
        Measure("libssh", s, a, names, SshRead, SshWrite);
    }
    libssh2_exit();
    return 0;
}
