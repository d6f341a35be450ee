// The inflater thread and its ring of chunks.
//
// Why this is free of data races (one mutex, two condition variables):
// - ring_[tail_ % chunk_count] belongs to the thread from the moment it saw
//   tail_ - head_ < chunk_count under mutex_ until it increments tail_
//   under mutex_; ring_[head_ % chunk_count] belongs to the reader from the
//   moment it saw head_ < tail_ under mutex_ until it increments head_
//   under mutex_. The two never name the same slot at once, and every hand
//   over passes through the mutex, which orders the writes into a chunk
//   before the reads of it.
// - failure_ is written under mutex_ together with finished_ (or the last
//   chunk) and read by the reader only after it saw one of them.
// - offset_ and consumed_ are the reader's alone; the inflate state, the
//   input buffer, the file position and the CRC are the thread's alone.
// - Each side sleeps only at an edge of the ring (the reader on an empty
//   ring, the thread on a full one) and is woken when the other side
//   crosses a level it must pass on the way (resume_above, resume_below),
//   so no wake-up is lost, and the two hand over several chunks per wake,
//   which matters when they share a core with other work.
// - stopping_ is read and written only under mutex_, and both waits test
//   it in their predicates, so stop() always wakes them. stop_seen_ is an
//   atomic copy the thread polls while filling a chunk; it guards no data.
#include "inflate/inflate.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#if defined(TAVRINEX_WITH_ISAL)
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace tvx::inflate {

namespace {

// The library behind one member's raw deflate stream. step() inflates what
// it can of the pending input into `out`; it returns 0 or a failure.
#if defined(TAVRINEX_WITH_ISAL)

const char* isal_message(int code) {
    switch (code) {
        case ISAL_INVALID_BLOCK: return "Invalid deflate block found";
        case ISAL_INVALID_SYMBOL: return "Invalid deflate symbol found";
        case ISAL_INVALID_LOOKBACK: return "Invalid lookback distance found";
        case ISAL_INVALID_WRAPPER: return "Invalid gzip/zlib wrapper found";
        case ISAL_UNSUPPORTED_METHOD: return "Gzip/zlib wrapper specifies unsupported compress method";
        case ISAL_INCORRECT_CHECKSUM: return "Incorrect checksum found";
        case ISAL_NEED_DICT: return "Dictionary needed to continue";
        default: return "Unknown error";
    }
}

class Inflater {
public:
    Inflater() : state_(new inflate_state) {
        isal_inflate_init(state_.get());
        state_->crc_flag = ISAL_DEFLATE;
    }
    void feed(const unsigned char* data, std::size_t size) {
        state_->next_in = const_cast<unsigned char*>(data);
        state_->avail_in = static_cast<std::uint32_t>(size);
    }
    std::size_t pending() const { return state_->avail_in; }
    // Returns the bytes written into out, or sets `failure`.
    std::size_t step(char* out, std::size_t room, Failure& failure) {
        state_->next_out = reinterpret_cast<unsigned char*>(out);
        state_->avail_out = static_cast<std::uint32_t>(room);
        int rc = isal_inflate(state_.get());
        std::size_t made = room - state_->avail_out;
        if (rc < 0 || rc == ISAL_NEED_DICT) {
            failure.fault = Fault::corrupt;
            failure.code = rc;
            failure.message = "Error " + std::to_string(rc) + " " + isal_message(rc);
        }
        return made;
    }
    bool finished() const { return state_->block_state == ISAL_BLOCK_FINISH; }
    static std::uint32_t crc32(std::uint32_t crc, const char* data, std::size_t size) {
        return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data), size);
    }

private:
    std::unique_ptr<inflate_state> state_;
};

#else

class Inflater {
public:
    Inflater() {
        std::memset(&z_, 0, sizeof z_);
        if (inflateInit2(&z_, -15) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&z_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    void feed(const unsigned char* data, std::size_t size) {
        z_.next_in = const_cast<unsigned char*>(data);
        z_.avail_in = static_cast<uInt>(size);
    }
    std::size_t pending() const { return z_.avail_in; }
    std::size_t step(char* out, std::size_t room, Failure& failure) {
        z_.next_out = reinterpret_cast<Bytef*>(out);
        z_.avail_out = static_cast<uInt>(room);
        int rc = ::inflate(&z_, Z_NO_FLUSH);
        std::size_t made = room - z_.avail_out;
        if (rc == Z_STREAM_END) {
            finished_ = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            // worded as the interpreter's zlib module words it
            const char* text = z_.msg;
            if (!text) {
                text = rc == Z_STREAM_ERROR ? "inconsistent stream state"
                       : rc == Z_DATA_ERROR ? "invalid input data"
                                            : nullptr;
            }
            failure.fault = Fault::corrupt;
            failure.code = rc;
            failure.message = "Error " + std::to_string(rc) + " while decompressing data";
            if (text) failure.message += std::string(": ") + text;
        }
        return made;
    }
    bool finished() const { return finished_; }
    static std::uint32_t crc32(std::uint32_t crc, const char* data, std::size_t size) {
        return static_cast<std::uint32_t>(
            ::crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
    }

private:
    z_stream z_;
    bool finished_ = false;
};

#endif

}  // namespace

const char* library_name() noexcept {
#if defined(TAVRINEX_WITH_ISAL)
    return "isa-l";
#else
    return "zlib";
#endif
}

std::shared_ptr<Stream> Stream::open(const MemberSpec& spec) {
    int fd = ::open(spec.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::shared_ptr<Stream> stream;
    try {
        stream.reset(new Stream(spec, fd));
    } catch (...) {
        ::close(fd);
        throw;
    }
    stream->thread_ = std::thread([s = stream.get()] { s->run(); });
    return stream;
}

Stream::Stream(const MemberSpec& spec, int fd) : spec_(spec), fd_(fd) {}

Stream::~Stream() {
    stop();
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
}

void Stream::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_seen_.store(true, std::memory_order_relaxed);
    filled_.notify_all();
    emptied_.notify_all();
}

std::size_t Stream::take(char* out, std::size_t n, State& state) {
    std::size_t got = 0;
    for (;;) {
        bool ready, finished;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) {
                state = State::stopped;
                return got;
            }
            ready = head_ < tail_;
            finished = finished_;
        }
        if (!ready) {
            state = !finished ? State::wait
                    : failure_.fault == Fault::none ? State::end
                                                    : State::failed;
            return got;
        }
        Chunk& chunk = ring_[head_ % chunk_count];
        std::size_t count = std::min(chunk.size - offset_, n - got);
        if (count) std::memcpy(out + got, chunk.data.get() + offset_, count);
        got += count;
        offset_ += count;
        consumed_ += count;
        if (offset_ == chunk.size) {
            bool last = chunk.last;
            offset_ = 0;
            bool wake;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++head_;
                wake = tail_ - head_ == resume_below;
            }
            if (wake) emptied_.notify_one();
            if (last) {
                // the stream's end checks travel with its last chunk, so the
                // read that reaches the end is the one that fails
                state = failure_.fault == Fault::none ? State::end : State::failed;
                return got;
            }
        }
        if (got == n) {
            state = State::more;
            return got;
        }
    }
}

void Stream::wait() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    filled_.wait(lock, [this] { return tail_ - head_ >= resume_above || finished_ || stopping_; });
}

void Stream::run() noexcept {
    try {
        produce();
    } catch (...) {
        // only allocation can throw here
        Failure failure;
        failure.fault = Fault::no_memory;
        publish(0, false, &failure);
    }
}

// Hands the chunk at tail_ (size bytes) and the outcome to the reader.
// Returns false when the reader asked to stop.
bool Stream::publish(std::size_t size, bool last, const Failure* failure) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        if (size || last) {
            Chunk& chunk = ring_[tail_ % chunk_count];
            chunk.size = size;
            chunk.last = last;
            ++tail_;
        }
        if (failure) failure_ = *failure;
        if (failure || last) finished_ = true;
        wake = finished_ || tail_ - head_ == resume_above;
    }
    if (wake) filled_.notify_one();
    return true;
}

void Stream::produce() {
    // Buffers no larger than the member needs, allocated here rather than
    // by the reader's thread; chunks only when first used.
    const std::size_t input_size =
        static_cast<std::size_t>(std::max<std::uint64_t>(std::min<std::uint64_t>(chunk_size, spec_.compressed), 1));
    std::unique_ptr<unsigned char[]> input(new unsigned char[input_size]);
    Inflater inflater;
    std::uint64_t left = spec_.compressed;
    std::uint64_t at = spec_.offset;
    std::uint64_t produced = 0;
    std::uint32_t crc = 0;
    // Never inflate more than one byte past what the member may hold: that
    // byte is enough to tell it holds too much.
    const std::uint64_t bound = std::min(spec_.expected, spec_.limit);

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (tail_ - head_ == chunk_count) {
                emptied_.wait(lock, [this] { return tail_ - head_ <= resume_below || stopping_; });
            }
            if (stopping_) return;
        }
        Chunk& chunk = ring_[tail_ % chunk_count];
        if (!chunk.data) {
            chunk.data.reset(new char[static_cast<std::size_t>(
                std::min<std::uint64_t>(chunk_size, bound + 1))]);
        }
        char* out = chunk.data.get();
        // never more than the first chunk's size, nor one byte past the bound
        const std::size_t room = static_cast<std::size_t>(
            std::min<std::uint64_t>(std::min<std::uint64_t>(chunk_size, bound + 1), bound - produced + 1));
        std::size_t filled = 0;
        bool last = false;
        Failure failure;
        while (filled < room) {
            if (stop_seen_.load(std::memory_order_relaxed)) return;
            if (inflater.pending() == 0 && left > 0) {
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(input_size, left));
                ssize_t got = ::pread(fd_, input.get(), want, static_cast<off_t>(at));
                if (got < 0) {
                    if (errno == EINTR) continue;
                    failure.fault = Fault::io;
                    failure.code = errno;
                    break;
                }
                if (got == 0) {
                    failure.fault = Fault::truncated;
                    break;
                }
                at += static_cast<std::uint64_t>(got);
                left -= static_cast<std::uint64_t>(got);
                inflater.feed(input.get(), static_cast<std::size_t>(got));
            }
            std::size_t made = inflater.step(out + filled, room - filled, failure);
            crc = Inflater::crc32(crc, out + filled, made);
            filled += made;
            if (failure.fault != Fault::none) break;
            if (inflater.finished()) {
                last = true;
                break;
            }
            if (filled < room && inflater.pending() == 0 && left == 0 && made == 0) {
                failure.fault = Fault::unterminated;
                break;
            }
        }
        produced += filled;
        if (produced > bound) {
            // refuse before handing out a byte past the bound
            filled -= static_cast<std::size_t>(produced - bound);
            failure = Failure();
            failure.fault = produced > spec_.expected ? Fault::too_long : Fault::over_limit;
            last = false;
        } else if (last) {
            if (produced != spec_.expected) {
                failure.fault = Fault::wrong_size;
                failure.produced = produced;
            } else if (crc != spec_.crc) {
                failure.fault = Fault::bad_crc;
            }
        }
        const bool failed = failure.fault != Fault::none;
        if (!publish(filled, last, failed ? &failure : nullptr)) return;
        if (last || failed) return;
    }
}

}  // namespace tvx::inflate
