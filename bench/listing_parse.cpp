// Reads a LIST reply in the client's listing reader, the half of listing_bench.sh that runs
// the client. Prints one line of figures.
// Usage: listing_parse parse FILE          every line of FILE through ParseListLine (best of 5)
//        listing_parse session PORT        LIST of "/" from 127.0.0.1:PORT through a session
#include "ftpclient/Ftp.h"
#include "ftpclient/Listing.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

long PeakRssKiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int Parse(const char* file)
{
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::time_t now = std::time(nullptr);
    double best = 1e9;
    std::size_t lines = 0, entries = 0, unread = 0;
    for (int run = 0; run < 5; ++run) {
        lines = entries = unread = 0;
        const auto start = Clock::now();
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t end = std::min(data.find('\n', at), data.size());
            const auto entry = vorn::ftp::ParseListLine(std::string_view(data).substr(at, end - at), now);
            at = end + 1;
            ++lines;
            entries += entry.has_value();
            unread += entry && !entry->unusable.empty();
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("parse    lines %zu  entries %zu  not understood %zu  seconds %.3f  peak RSS %.1f MiB\n",
        lines, entries, unread, best, PeakRssKiB() / 1024.0);
    return 0;
}

int Session(int port)
{
    sf::Ftp ftp(false);
    if (!ftp.Connect(sf::IPAddress("127.0.0.1"), static_cast<unsigned short>(port)).IsOk()
        || !ftp.Login("bench", "bench").IsOk()) {
        std::fprintf(stderr, "cannot log in to 127.0.0.1:%d\n", port);
        return 1;
    }
    const auto start = Clock::now();
    const auto listing = ftp.GetDirectoryListing("");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!listing.IsOk()) {
        std::fprintf(stderr, "listing failed: %s\n", listing.GetMessage().c_str());
        return 1;
    }
    std::printf("session  entries %zu  seconds %.3f  peak RSS %.1f MiB\n", listing.GetCount(), seconds,
        PeakRssKiB() / 1024.0);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc == 3 && std::string(argv[1]) == "parse")
        return Parse(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "session")
        return Session(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: %s parse FILE | session PORT\n", argv[0]);
    return 2;
}
