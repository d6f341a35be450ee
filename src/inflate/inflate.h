// Inflating one zip member on a thread of its own, ahead of the reader.
//
// Plain C++ (no Python): a Stream opens the archive itself, and its thread
// reads the compressed bytes with pread, inflates them (ISA-L's igzip when
// the build found it, else zlib), computes the CRC-32 and hands the output
// over through a small ring of fixed chunks. The reader takes the chunks in
// order; a failure reaches it after every byte inflated before it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvx::inflate {

// Name of the library the module was built with: "isa-l" or "zlib".
const char* library_name() noexcept;

// Where a member's data lies and what it must inflate to.
struct MemberSpec {
    std::string path;
    std::uint64_t offset = 0;       // of the compressed data in the file
    std::uint64_t compressed = 0;   // compressed size from the directory
    std::uint64_t expected = 0;     // inflated size from the directory
    std::uint64_t limit = 0;        // inflating past this is refused
    std::uint32_t crc = 0;          // CRC-32 from the directory
};

enum class Fault {
    none,
    io,            // pread failed: `code` is errno
    truncated,     // the file ends inside the compressed data
    unterminated,  // the compressed data ends before the end-of-stream marker
    corrupt,       // the library rejected the data: `code` and `message` are its own
    too_long,      // inflates past `expected`
    over_limit,    // inflates past `limit`
    wrong_size,    // ends short of `expected`: `produced` is what it gave
    bad_crc,       // the CRC-32 differs
    no_memory,     // the thread could not get its buffers
};

struct Failure {
    Fault fault = Fault::none;
    int code = 0;
    std::string message;
    std::uint64_t produced = 0;
};

class Stream {
public:
    // Bytes per chunk and the number of chunks in the ring.
    static constexpr std::size_t chunk_size = 256 * 1024;
    static constexpr std::size_t chunk_count = 8;
    // A reader waiting on an empty ring wakes at this many chunks (or the
    // end); the thread waiting on a full one wakes at this many or fewer.
    static constexpr std::size_t resume_above = 2;
    static constexpr std::size_t resume_below = chunk_count / 2;

    // Opens the file and starts the thread. Returns null with errno set
    // when the file cannot be opened.
    static std::shared_ptr<Stream> open(const MemberSpec& spec);

    ~Stream();  // stops and joins the thread
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // The reader's side. One reader at a time (the caller ensures it).
    //
    // take() copies up to `n` bytes that are ready into `out` without
    // blocking and returns how many; `state` tells why it stopped short.
    enum class State { more, wait, end, failed, stopped };
    std::size_t take(char* out, std::size_t n, State& state);
    // Blocks until take() can make progress (a chunk, the end, a failure
    // or stop()). Meant to be called with the interpreter lock released.
    void wait() noexcept;
    // Ends the stream early: the thread stops at its next chunk and
    // wait() returns. Safe from any thread; the destructor joins.
    void stop() noexcept;
    // The failure once take() reported State::failed.
    const Failure& failure() const noexcept { return failure_; }
    std::uint64_t position() const noexcept { return consumed_; }

private:
    struct Chunk {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
        bool last = false;  // the stream ends with this chunk (failure_ says how)
    };

    Stream(const MemberSpec& spec, int fd);
    void run() noexcept;
    void produce();
    bool publish(std::size_t size, bool last, const Failure* failure);

    const MemberSpec spec_;
    const int fd_;

    // Guarded by mutex_: the ring (head_ counts chunks taken, tail_ chunks
    // filled), the end and failure flags and the stop request.
    std::mutex mutex_;
    std::condition_variable filled_;  // the reader waits for a chunk
    std::condition_variable emptied_; // the thread waits for a free slot
    Chunk ring_[chunk_count];
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    bool finished_ = false;  // the thread published its last word
    bool stopping_ = false;
    // stopping_ as seen by the thread between library calls without the
    // mutex, so that a stop does not wait for a whole chunk.
    std::atomic<bool> stop_seen_{false};
    Failure failure_;        // written under mutex_ before finished_

    // The reader's own state: the offset into the chunk at head_.
    std::size_t offset_ = 0;
    std::uint64_t consumed_ = 0;

    std::thread thread_;
};

}  // namespace tvx::inflate
