#include "support/VsftpdServer.h"

#include "support/ListeningPort.h"
#include "support/TestFiles.h"

#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::test {

bool VsftpdServer::Available()
{
    return ::geteuid() == 0 && ::access("/usr/sbin/vsftpd", X_OK) == 0;
}

VsftpdServer::VsftpdServer(const std::filesystem::path& root)
{
    // The unprivileged part of vsftpd is locked into an empty folder nobody else may write.
    const auto empty = dir_.path() / "empty";
    std::filesystem::create_directory(empty);
    ::chmod(dir_.path().c_str(), 0755);
    ::chmod(empty.c_str(), 0755);
    std::ofstream(dir_.path() / "vsftpd.conf")
        << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=0\nbackground=NO\n"
        << "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nwrite_enable=NO\n"
        << "anon_root=" << root.string() << "\nsecure_chroot_dir=" << empty.string() << "\n"
        << "pasv_enable=YES\npasv_address=127.0.0.1\nuse_localtime=NO\n"
        << "xferlog_enable=NO\nseccomp_sandbox=NO\n";
    process_ = std::make_unique<Subprocess>(
        std::vector<std::string> { "/usr/sbin/vsftpd", (dir_.path() / "vsftpd.conf").string() },
        dir_.path() / "vsftpd.log");
    // vsftpd does not say which port it was given for port 0; the system does.
    const int port = ListeningPort(process_->pid(), std::chrono::seconds(30));
    if (port <= 0)
        throw std::runtime_error("vsftpd did not come up: " + log());
    port_ = static_cast<unsigned short>(port);
}

VsftpdServer::~VsftpdServer()
{
    if (process_)
        process_->Stop();
}

std::string VsftpdServer::log() const
{
    return ReadFile(dir_.path() / "vsftpd.log");
}

} // namespace vorn::test
