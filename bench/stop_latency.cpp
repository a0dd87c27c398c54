// How long Stop takes to end a transfer under way: a download, and a server-to-server copy,
// each stopped through a RunControl as the window's Stop does, once data is flowing. Prints
// one line per trial and the median and worst times; the target is under one second.
// Usage: stop_latency HOST SOURCE_PORT DEST_PORT USER PASSWORD REMOTE_PATH LOCAL_FOLDER TRIALS
#include "engine/RunControl.h"
#include "ftpclient/Ftp.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using Seconds = std::chrono::duration<double>;

bool Open(sf::Ftp& ftp, const char* host, int port, const char* user, const char* password)
{
    return ftp.Connect(sf::IPAddress(host), static_cast<unsigned short>(port)).IsOk()
        && ftp.Login(user, password).IsOk();
}

// One trial: starts the transfer, waits (at most 30 s) for its first bytes, stops, and
// returns the seconds from Stop to the transfer's end; negative when it went wrong.
double Trial(bool relay, char* argv[])
{
    sf::Ftp source(false), destination(false);
    if (!Open(source, argv[1], std::atoi(argv[2]), argv[4], argv[5])
        || (relay && !Open(destination, argv[1], std::atoi(argv[3]), argv[4], argv[5])))
        return -1;
    vorn::RunControl control;
    control.setRunState(1);
    source.SetTransferHook([&control] { return control.WaitWhilePaused(); });
    sf::TranslateInfo progress;
    auto transfer = std::async(std::launch::async, [&] {
        return relay ? source.Relay(destination, argv[6], "/", progress)
                     : source.Download(argv[6], argv[7], progress);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (progress.bytes.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto stopped = std::chrono::steady_clock::now();
    control.Stop();
    if (transfer.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        return -1;
    const Seconds took = std::chrono::steady_clock::now() - stopped;
    return transfer.get().GetStatus() == sf::Ftp::Response::Cancelled ? took.count() : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 9) {
        std::fprintf(stderr,
            "usage: %s HOST SOURCE_PORT DEST_PORT USER PASSWORD REMOTE_PATH LOCAL_FOLDER TRIALS\n", argv[0]);
        return 2;
    }
    const int trials = std::max(1, std::atoi(argv[8]));
    int failures = 0;
    for (const bool relay : { false, true }) {
        std::vector<double> times;
        for (int i = 0; i < trials; ++i) {
            const double took = Trial(relay, argv);
            std::printf("%-8s trial %d: %s\n", relay ? "relay" : "download", i + 1,
                took < 0 ? "FAILED" : std::to_string(took).c_str());
            if (took < 0)
                ++failures;
            else
                times.push_back(took);
        }
        std::sort(times.begin(), times.end());
        if (!times.empty())
            std::printf("%-8s median %.3f s, worst %.3f s (target < 1 s): %s\n", relay ? "relay" : "download",
                times[times.size() / 2], times.back(), times.back() < 1.0 ? "met" : "NOT met");
    }
    return failures == 0 ? 0 : 1;
}
