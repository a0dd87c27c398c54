#include "support/VirtualFtpServer.h"

#include "support/TestFiles.h"

#include <charconv>
#include <stdexcept>

namespace vorn::test {

VirtualFtpServer::VirtualFtpServer(const std::string& treeJson)
{
    const auto tree = scratch_.path() / "tree.json";
    WriteFile(tree, treeJson);
    process_ = std::make_unique<Subprocess>(
        std::vector<std::string> {
            "/usr/bin/python3", VORN_SOURCE_DIR "/tests/support/virtual_ftp.py", "--tree", tree.string() },
        scratch_.path() / "server.log");
    const auto line = process_->ReadLine(std::chrono::seconds(10));
    const std::string_view prefix = "PORT ";
    if (!line || !line->starts_with(prefix))
        throw std::runtime_error("the virtual FTP server did not report its port; its log:\n" + log());
    const char* last = line->data() + line->size();
    if (std::from_chars(line->data() + prefix.size(), last, port_).ptr != last || port_ <= 0)
        throw std::runtime_error("the virtual FTP server reported a bad port: " + *line);
}

VirtualFtpServer::~VirtualFtpServer() = default;

std::string VirtualFtpServer::log() const
{
    try {
        return ReadFile(scratch_.path() / "server.log");
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace vorn::test
