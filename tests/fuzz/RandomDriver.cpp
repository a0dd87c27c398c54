// Drives a libFuzzer target without libFuzzer, so the ordinary gcc build with AddressSanitizer
// and UndefinedBehaviorSanitizer exercises it on every test run: a fixed seed's worth of random
// bytes and of mutations of the seed corpus, bounded by count and by wall-clock time.
//
//   random_NAME [--seed N] [--runs N] [--seconds S] [--dict FILE] CORPUS_DIR...
//   random_NAME --replay FILE...
//
// It fails only by crashing (a sanitizer report, a failed check of the target). The input
// that was running is then written to "crash-input.bin" in the working folder first, and
// --replay (or the libFuzzer build of the target) reproduces it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace {

using Bytes = std::string;

constexpr std::size_t kMaxInput = 4096;
// Bytes that change how UTF-8 and the old code page are read: lead bytes of every length,
// continuation bounds, the separator's halves, bytes that can never appear in UTF-8.
constexpr unsigned char kInterestingBytes[] = { 0x00, 0x20, 0x7F, 0x80, 0xA1, 0xA2, 0xA3, 0xA8, 0xA9, 0xBF,
    0xC0, 0xC2, 0xDF, 0xE0, 0xE8, 0xEB, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF };

const std::uint8_t* gInput = nullptr;
std::size_t gInputSize = 0;

// Runs from a signal handler or the sanitizer's death callback: only async-signal-safe calls.
void SaveCurrentInput()
{
    static volatile sig_atomic_t saved = 0;
    if (saved || gInput == nullptr)
        return;
    saved = 1;
    const int fd = ::open("crash-input.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    std::size_t done = 0;
    while (done < gInputSize) {
        const ssize_t n = ::write(fd, gInput + done, gInputSize - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    ::close(fd);
    const char note[] = "random driver: the failing input is in crash-input.bin\n";
    (void)!::write(STDERR_FILENO, note, sizeof note - 1);
}

void OnFatalSignal(int signal)
{
    SaveCurrentInput();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Copies the input into a block of exactly its size, so a read one past the end is caught.
void RunOne(const Bytes& input)
{
    const auto block = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(input.size(), 1));
    std::memcpy(block.get(), input.data(), input.size());
    gInput = block.get();
    gInputSize = input.size();
    LLVMFuzzerTestOneInput(block.get(), input.size());
    gInput = nullptr;
}

Bytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// libFuzzer dictionary: one token a line, `name="value"` or `"value"`, with \\, \" and \xNN.
std::vector<Bytes> ReadDictionary(const std::filesystem::path& path)
{
    std::vector<Bytes> tokens;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const std::size_t open = line.find('"');
        const std::size_t close = line.rfind('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open)
            continue;
        Bytes token;
        for (std::size_t i = open + 1; i < close; ++i) {
            if (line[i] == '\\' && i + 1 < close && (line[i + 1] == '\\' || line[i + 1] == '"')) {
                token += line[++i];
            } else if (line[i] == '\\' && i + 3 < close && line[i + 1] == 'x' && HexValue(line[i + 2]) >= 0
                && HexValue(line[i + 3]) >= 0) {
                token += char(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3]));
                i += 3;
            } else {
                token += line[i];
            }
        }
        tokens.push_back(token);
    }
    return tokens;
}

class Mutator {
public:
    Mutator(std::uint64_t seed, std::vector<Bytes> seeds, std::vector<Bytes> tokens)
        : random_(seed)
        , seeds_(std::move(seeds))
        , tokens_(std::move(tokens))
    {
    }

    Bytes Next()
    {
        if (seeds_.empty() || Below(8) == 0)
            return RandomBytes();
        Bytes input = seeds_[Below(seeds_.size())];
        const std::size_t steps = 1 + Below(6);
        for (std::size_t k = 0; k < steps; ++k)
            MutateOnce(input);
        if (input.size() > kMaxInput)
            input.resize(kMaxInput);
        return input;
    }

private:
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : std::size_t(random_() % n); }

    Bytes RandomBytes()
    {
        Bytes bytes(Below(200), '\0');
        for (char& c : bytes)
            c = char(Below(256));
        return bytes;
    }

    void MutateOnce(Bytes& input)
    {
        const std::size_t at = Below(input.size() + 1);
        switch (Below(7)) {
        case 0: // flip one bit
            if (!input.empty())
                input[Below(input.size())] ^= char(1u << Below(8));
            break;
        case 1: // overwrite one byte
            if (!input.empty())
                input[Below(input.size())] = char(Below(256));
            break;
        case 2: // insert a byte that matters to UTF-8 or the old code page
            input.insert(at, 1, char(kInterestingBytes[Below(std::size(kInterestingBytes))]));
            break;
        case 3: // insert a dictionary token
            if (!tokens_.empty())
                input.insert(at, tokens_[Below(tokens_.size())]);
            break;
        case 4: // cut a stretch out
            input.erase(at, Below(16));
            break;
        case 5: // repeat a stretch elsewhere
            if (!input.empty()) {
                const std::size_t from = Below(input.size());
                input.insert(at, input.substr(from, Below(32)));
            }
            break;
        default: { // splice: keep a head, take the tail of another seed
            const Bytes& other = seeds_[Below(seeds_.size())];
            input = input.substr(0, at) + other.substr(Below(other.size() + 1));
            break;
        }
        }
    }

    std::mt19937_64 random_;
    std::vector<Bytes> seeds_;
    std::vector<Bytes> tokens_;
};

struct Options {
    std::uint64_t seed = 20111201;
    std::uint64_t runs = 200000;
    double seconds = 10;
    std::filesystem::path dictionary;
    std::vector<std::filesystem::path> corpora;
    std::vector<std::filesystem::path> replay;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    bool replay = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seed" && hasValue)
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--runs" && hasValue)
            options.runs = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--seconds" && hasValue)
            options.seconds = std::strtod(argv[++i], nullptr);
        else if (arg == "--dict" && hasValue)
            options.dictionary = argv[++i];
        else if (arg == "--replay")
            replay = true;
        else if (arg.starts_with("--"))
            return false;
        else
            (replay ? options.replay : options.corpora).push_back(arg);
    }
    return !options.corpora.empty() || !options.replay.empty();
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
            "usage: %s [--seed N] [--runs N] [--seconds S] [--dict FILE] CORPUS_DIR...\n"
            "       %s --replay FILE...\n",
            argv[0], argv[0]);
        return 2;
    }
    if (__sanitizer_set_death_callback)
        __sanitizer_set_death_callback(SaveCurrentInput);
    for (int s : { SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL })
        ::signal(s, OnFatalSignal);

    for (const auto& file : options.replay)
        RunOne(ReadFile(file));
    if (!options.replay.empty()) {
        std::printf("random driver: replayed %zu input(s)\n", options.replay.size());
        return 0;
    }

    // Seeds in name order, so a seed number always means the same sequence of inputs.
    std::vector<std::filesystem::path> files;
    for (const auto& folder : options.corpora) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        if (error) {
            std::fprintf(
                stderr, "random driver: cannot read %s: %s\n", folder.c_str(), error.message().c_str());
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<Bytes> seeds;
    for (const auto& file : files)
        seeds.push_back(ReadFile(file));
    if (seeds.empty()) {
        std::fprintf(stderr, "random driver: no seed files found\n");
        return 2;
    }
    for (const Bytes& seed : seeds)
        RunOne(seed);

    Mutator mutator(options.seed, seeds,
        options.dictionary.empty() ? std::vector<Bytes> {} : ReadDictionary(options.dictionary));
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(options.seconds);
    std::uint64_t runs = 0;
    while (runs < options.runs && std::chrono::steady_clock::now() - start < limit) {
        RunOne(mutator.Next());
        ++runs;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("random driver: %zu seeds, %llu inputs from seed %llu in %.1f s\n", seeds.size(),
        (unsigned long long)runs, (unsigned long long)options.seed, took.count());
    return 0;
}
