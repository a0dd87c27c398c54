#include "support/ScriptedFtpServer.h"

#include "support/TestFiles.h"

#include <chrono>
#include <stdexcept>

namespace vorn::test {

ScriptedFtpServer::ScriptedFtpServer(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv { "/usr/bin/python3",
        VORN_SOURCE_DIR "/tests/ftpclient/scripted_ftp_server.py" };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<Subprocess>(argv, scratch_.path() / "server.log");
    const auto line = process_->ReadLine(std::chrono::seconds(15));
    if (!line || !line->starts_with("PORT "))
        throw std::runtime_error("the scripted FTP server did not start: " + log());
    port_ = static_cast<unsigned short>(std::stoi(line->substr(5)));
}

std::string ScriptedFtpServer::log() const
{
    return ReadFile(scratch_.path() / "server.log");
}

} // namespace vorn::test
