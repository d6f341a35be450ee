// Plain C++ tests of the member inflater thread, built without Python (and
// once more under ThreadSanitizer). Deflate streams are made with zlib.
// Prints one line per failed check and exits non-zero on failure.
#include "inflate/inflate.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tvx::inflate;

namespace {

int run = 0, failed = 0;
#define CHECK(cond)                                            \
    do {                                                       \
        ++run;                                                 \
        if (!(cond)) {                                         \
            ++failed;                                          \
            std::printf("FAIL line %d: %s\n", __LINE__, #cond); \
        }                                                      \
    } while (0)

std::string payload(std::size_t size, unsigned seed) {
    std::mt19937 rnd(seed);
    static const char* words[] = {"<c r=\"A1\"><v>", "</v></c>", "abc", "12345.5", "\n"};
    std::string out;
    while (out.size() < size) {
        if (rnd() % 5) {
            out += words[rnd() % 5];
        } else {
            out += static_cast<char>(rnd() % 256);
        }
    }
    out.resize(size);
    return out;
}

std::string deflate_raw(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A file holding `prefix` junk bytes and then the compressed data.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string& body) {
        char name[] = "/tmp/tavrinex-inflate-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        std::string all = std::string(17, 'j') + body;
        if (write(fd, all.data(), all.size()) != static_cast<ssize_t>(all.size())) std::abort();
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

MemberSpec spec_for(const TempFile& file, const std::string& data, const std::string& packed) {
    MemberSpec spec;
    spec.path = file.path;
    spec.offset = 17;
    spec.compressed = packed.size();
    spec.expected = data.size();
    spec.limit = UINT64_MAX;
    spec.crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    return spec;
}

// Reads the whole stream in pieces of `step`; returns the final state.
Stream::State drain(Stream& stream, std::string& out, std::size_t step) {
    std::vector<char> buffer(step);
    for (;;) {
        Stream::State state;
        std::size_t got = stream.take(buffer.data(), step, state);
        out.append(buffer.data(), got);
        if (state == Stream::State::wait) {
            stream.wait();
        } else if (state != Stream::State::more) {
            return state;
        }
    }
}

void test_round_trip() {
    for (std::size_t size : {std::size_t(0), std::size_t(1), Stream::chunk_size,
                             Stream::chunk_size * 7 + 3}) {
        std::string data = payload(size, static_cast<unsigned>(size));
        std::string packed = deflate_raw(data);
        TempFile file(packed);
        for (std::size_t step : {std::size_t(1), std::size_t(4093), std::size_t(1) << 20}) {
            if (step == 1 && size > Stream::chunk_size) continue;
            auto stream = Stream::open(spec_for(file, data, packed));
            CHECK(stream != nullptr);
            std::string out;
            CHECK(drain(*stream, out, step) == Stream::State::end);
            CHECK(out == data);
            CHECK(stream->position() == data.size());
        }
    }
}

void test_failures() {
    std::string data = payload(Stream::chunk_size * 5, 7);
    std::string packed = deflate_raw(data);
    TempFile file(packed);
    MemberSpec good = spec_for(file, data, packed);
    struct Case {
        MemberSpec spec;
        Fault fault;
    };
    MemberSpec crc = good, longer = good, shorter = good, cut = good, limited = good;
    crc.crc ^= 1;
    longer.expected = 1000;
    shorter.expected += 1;
    cut.compressed /= 2;
    limited.limit = Stream::chunk_size + 5;
    for (const Case& c : {Case{crc, Fault::bad_crc}, Case{longer, Fault::too_long},
                          Case{shorter, Fault::wrong_size}, Case{cut, Fault::unterminated},
                          Case{limited, Fault::over_limit}}) {
        auto stream = Stream::open(c.spec);
        std::string out;
        CHECK(drain(*stream, out, 65536) == Stream::State::failed);
        CHECK(stream->failure().fault == c.fault);
        // every byte before the failure, none past what the member may hold
        CHECK(data.compare(0, out.size(), out) == 0);
        CHECK(out.size() <= std::min(c.spec.expected, c.spec.limit));
    }
    std::string damaged = packed;
    for (std::size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) damaged[i] = '\xff';
    TempFile bad(damaged);
    auto stream = Stream::open(spec_for(bad, data, damaged));
    std::string out;
    CHECK(drain(*stream, out, 65536) == Stream::State::failed);
    // rejected by the library, or decoded into other bytes that fail the checks
    CHECK(stream->failure().fault != Fault::none && stream->failure().fault != Fault::io &&
          stream->failure().fault != Fault::truncated);
    CHECK(out.size() < data.size() || stream->failure().fault != Fault::corrupt);
    MemberSpec beyond = good;
    beyond.offset = 1 << 30;  // past the end of the file
    stream = Stream::open(beyond);
    CHECK(drain(*stream, out, 65536) == Stream::State::failed);
    CHECK(stream->failure().fault == Fault::truncated);
    MemberSpec missing = good;
    missing.path += ".missing";
    CHECK(Stream::open(missing) == nullptr);
}

// Stops from the reader's thread and from another while the reader waits,
// at every point of the stream; the destructor joins.
void test_stops() {
    std::string data = payload(Stream::chunk_size * 9, 3);
    std::string packed = deflate_raw(data);
    TempFile file(packed);
    MemberSpec spec = spec_for(file, data, packed);
    for (std::size_t after : {std::size_t(0), std::size_t(1), Stream::chunk_size * 3}) {
        auto stream = Stream::open(spec);
        std::vector<char> buffer(after + 1);
        std::size_t got = 0;
        while (got < after) {
            Stream::State state;
            got += stream->take(buffer.data() + got, after - got, state);
            if (state == Stream::State::wait) stream->wait();
        }
        stream->stop();
        Stream::State state;
        CHECK(stream->take(buffer.data(), 1, state) == 0 && state == Stream::State::stopped);
    }
    for (int round = 0; round < 20; ++round) {
        auto stream = Stream::open(spec);
        std::string out;
        Stream::State last = Stream::State::more;
        std::thread reader([&] { last = drain(*stream, out, 8192); });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 150));
        stream->stop();
        reader.join();
        CHECK(last == Stream::State::stopped || last == Stream::State::end);
        CHECK(data.compare(0, out.size(), out) == 0);
    }
}

}  // namespace

int main() {
    test_round_trip();
    test_failures();
    test_stops();
    std::printf("%d checks, %d failed (%s)\n", run, failed, library_name());
    return failed ? 1 : 0;
}
