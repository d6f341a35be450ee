// Standalone driver for compilers without libFuzzer, taking the same flags
// the fuzz make target gives libFuzzer: -max_total_time=SECONDS (default
// 10), -seed=N, -artifact_prefix=PATH, and files or directories of inputs.
// The inputs are replayed first, then seed inputs (built in, plus the
// replayed ones) are mutated at random until the time is up. On an abort
// (a failed check, or a sanitizer report with abort_on_error) the input
// being tried is written to PATH + "crash-" + its FNV-1a hash.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#include <csignal>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

const char* const kSeeds[] = {
    "<?xml version=\"1.0\"?><r xmlns=\"urn:a\" xmlns:p=\"urn:b\"><p:c "
    "k=\"1&amp;2\">a&lt;b</p:c><d/></r>",
    "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" "
    "t=\"s\"><v>0</v></c></row></sheetData></worksheet>",
    "<a><![CDATA[x]]><?pi data?><!-- c --></a>",
    "=SUM(A1:B2,$C$3)*2",
    "=IF(A1>0,\"yes\",{1,2;3,4})",
    "='Sheet 1'!A1+Sheet2!$B$2:C3%",
    "=A1 B1 -1e+10 #N/A TRUE",
};

// What the abort handler writes out; set before the loop.
std::string g_prefix;
const std::string* g_current = nullptr;

extern "C" void on_abort(int) {
    if (g_current) {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (char c : *g_current) h = (h ^ std::uint8_t(c)) * 0x100000001b3ull;
        char name[4096];
        std::size_t n = g_prefix.size() < 4000 ? g_prefix.size() : 4000;
        std::memcpy(name, g_prefix.data(), n);
        std::memcpy(name + n, "crash-", 6);
        n += 6;
        for (int k = 15; k >= 0; --k) name[n++] = "0123456789abcdef"[(h >> (4 * k)) & 15];
        name[n] = 0;
        const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ssize_t ignored = ::write(fd, g_current->data(), g_current->size());
            (void)ignored;
            ::close(fd);
        }
    }
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

void run(const std::string& s) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

std::string mutate(std::string s, std::mt19937_64& rng) {
    static const char kBytes[] = "<>/=\"'&;:!$()[]{},%#- \r\n\tAZaz019xmlns";
    const int edits = 1 + int(rng() % 8);
    for (int k = 0; k < edits; ++k) {
        const std::size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        const char c = rng() % 4 == 0 ? char(rng() & 0xFF) : kBytes[rng() % (sizeof kBytes - 1)];
        switch (rng() % 4) {
            case 0:
                s.insert(s.begin() + std::ptrdiff_t(at), c);
                break;
            case 1:
                if (at < s.size()) s.erase(at, 1 + rng() % 4);
                break;
            case 2:
                if (at < s.size()) s[at] = c;
                break;
            default:
                if (!s.empty()) {
                    const std::size_t from = rng() % s.size();
                    s.insert(at, s.substr(from, 1 + rng() % 16));
                }
                break;
        }
    }
    return s;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::uint64_t seed = std::random_device{}();
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("-max_total_time=")) {
            seconds = std::atof(argv[i] + 16);
        } else if (arg.starts_with("-seed=")) {
            seed = std::strtoull(argv[i] + 6, nullptr, 10);
        } else if (arg.starts_with("-artifact_prefix=")) {
            g_prefix = std::string(arg.substr(17));
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) inputs.push_back(read_file(entry.path()));
        } else {
            inputs.push_back(read_file(arg));
        }
    }
    std::signal(SIGABRT, on_abort);
    for (const std::string& input : inputs) {
        g_current = &input;
        run(input);
    }
    g_current = nullptr;
    std::mt19937_64 rng(seed);
    std::vector<std::string> corpus(std::begin(kSeeds), std::end(kSeeds));
    corpus.insert(corpus.end(), inputs.begin(), inputs.end());
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::uint64_t runs = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::string input = mutate(corpus[rng() % corpus.size()], rng);
        g_current = &input;
        run(input);
        g_current = nullptr;
        if (corpus.size() < 4096 && rng() % 16 == 0) corpus.push_back(std::move(input));
        ++runs;
    }
    std::printf("fuzz_core: %llu inputs, seed %llu, %zu files replayed\n", (unsigned long long)runs,
                (unsigned long long)seed, inputs.size());
    return 0;
}
