#include "support/AlertServer.h"

#include "support/SelfSignedCertificate.h"
#include "support/WaitFor.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorn::test {

namespace {

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t CountRecords(const std::filesystem::path& dir)
{
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        count += entry.path().extension() == ".json" ? 1 : 0;
    return count;
}

} // namespace

AlertServer::AlertServer(Kind kind, const std::filesystem::path& dir, const Options& options)
    : records_(dir / "records")
{
    std::filesystem::create_directories(records_);
    std::vector<std::string> argv { "/usr/bin/python3", VORN_SOURCE_DIR "/tests/support/alert_servers.py",
        kind == Kind::Smtp ? "smtp" : "hook", records_.string() };
    if (options.tls != "none") {
        const Certificate cert = MakeSelfSignedCertificate(dir);
        certificate_ = cert.certFile;
        argv.insert(argv.end(), { "--cert", cert.certFile.string(), "--key", cert.keyFile.string() });
    }
    if (kind == Kind::Smtp)
        argv.insert(argv.end(), { "--tls", options.tls });
    if (!options.user.empty())
        argv.insert(argv.end(), { "--user", options.user, "--password", options.password });
    if (options.fail > 0)
        argv.insert(argv.end(), { "--fail", std::to_string(options.fail) });
    process_ = std::make_unique<Subprocess>(argv, dir / "server.log");
    const auto line = process_->ReadLine(std::chrono::seconds(20));
    if (!line || line->rfind("PORT ", 0) != 0)
        throw std::runtime_error("the alert server did not start: " + ReadFile(dir / "server.log"));
    port_ = std::stoi(line->substr(5));
}

std::vector<AlertServer::Record> AlertServer::WaitForRecords(
    std::size_t count, std::chrono::milliseconds timeout) const
{
    (void)WaitFor([&] { return CountRecords(records_) >= count; }, timeout);
    std::vector<Record> records;
    for (int number = 1;; ++number) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", number);
        const std::filesystem::path meta = records_ / (std::string(name) + ".json");
        if (!std::filesystem::exists(meta))
            return records;
        records.push_back({ ReadFile(meta), ReadFile(records_ / (std::string(name) + ".txt")) });
    }
}

} // namespace vorn::test
