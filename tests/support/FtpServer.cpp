#include "support/FtpServer.h"

#include "support/TestFiles.h"
#include "support/WaitFor.h"

#include <arpa/inet.h>
#include <charconv>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vorn::test {

namespace {

constexpr auto PortTimeout = std::chrono::seconds(30);
constexpr auto ListenTimeout = std::chrono::seconds(30);

bool AcceptsConnections(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::vector<std::string> Arguments(const FtpServerOptions& options)
{
    std::vector<std::string> args { "/usr/bin/python3", VORN_SOURCE_DIR "/tests/support/ftp_server.py",
        "--root", options.root.string(), "--user", options.user, "--password", options.password };
    if (options.noMlsd)
        args.push_back("--no-mlsd");
    if (options.dosList)
        args.push_back("--dos-list");
    if (options.tls != FtpServerTls::None) {
        args.insert(args.end(),
            { "--tls", options.tls == FtpServerTls::Explicit ? "explicit" : "implicit", "--cert",
                options.certFile.string() });
        if (!options.keyFile.empty())
            args.insert(args.end(), { "--key", options.keyFile.string() });
    }
    if (options.stallAfterLogin)
        args.push_back("--stall-after-login");
    if (options.stallOnConnect)
        args.push_back("--stall-on-connect");
    if (!options.refuseRetr.empty())
        args.insert(args.end(), { "--refuse-retr", options.refuseRetr });
    if (options.dropDataAfter)
        args.insert(args.end(), { "--drop-data-after", std::to_string(*options.dropDataAfter) });
    if (options.slowDataBytesPerSecond > 0)
        args.insert(args.end(), { "--slow-data", std::to_string(options.slowDataBytesPerSecond) });
    if (options.noEpsv)
        args.push_back("--no-epsv");
    if (options.maxSessions > 0)
        args.insert(args.end(), { "--max-sessions", std::to_string(options.maxSessions) });
    if (!options.pasvAddress.empty())
        args.insert(args.end(), { "--pasv-address", options.pasvAddress });
    if (options.logCommands)
        args.push_back("--log-commands");
    if (options.noEprt)
        args.push_back("--no-eprt");
    if (options.dropUploadAfter)
        args.insert(args.end(), { "--drop-upload-after", std::to_string(*options.dropUploadAfter) });
    if (options.noReplace)
        args.push_back("--no-replace");
    if (!options.refuseRenameOf.empty())
        args.insert(args.end(), { "--refuse-rename-of", options.refuseRenameOf });
    if (options.dropControlEvery > 0)
        args.insert(args.end(), { "--drop-control-every", std::to_string(options.dropControlEvery) });
    if (!options.dropSessions.empty())
        args.insert(args.end(), { "--drop-sessions", options.dropSessions });
    args.insert(args.end(), { "--permissions", options.permissions });
    if (!options.hashAlgorithms.empty())
        args.insert(args.end(), { "--hash", options.hashAlgorithms });
    if (!options.xCommands.empty())
        args.insert(args.end(), { "--x-commands", options.xCommands });
    if (!options.wrongChecksumOf.empty())
        args.insert(args.end(), { "--wrong-checksum", options.wrongChecksumOf });
    if (options.noMfmt)
        args.push_back("--no-mfmt");
    return args;
}

} // namespace

FtpServer::FtpServer(FtpServerOptions options)
    : options_(std::move(options))
{
    if (options_.root.empty()) {
        options_.root = scratch_.path() / "root";
        std::filesystem::create_directory(options_.root);
    }
    process_ = std::make_unique<Subprocess>(Arguments(options_), scratch_.path() / "server.log");

    const std::optional<std::string> line = process_->ReadLine(PortTimeout);
    const std::string_view prefix = "PORT ";
    if (!line || !line->starts_with(prefix)) {
        throw std::runtime_error("the FTP test server did not report its port"
            + (line ? " (it said \"" + *line + "\")" : std::string()) + "; its log:\n" + log());
    }
    const char* first = line->data() + prefix.size();
    const char* last = line->data() + line->size();
    if (std::from_chars(first, last, port_).ptr != last || port_ <= 0 || port_ > 65535)
        throw std::runtime_error("the FTP test server reported a bad port: " + *line);
    if (!WaitFor([this] { return AcceptsConnections(port_); }, ListenTimeout))
        throw std::runtime_error("the FTP test server does not accept connections; its log:\n" + log());
}

FtpServer::~FtpServer() = default;

std::string FtpServer::log() const
{
    try {
        return ReadFile(scratch_.path() / "server.log");
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace vorn::test
