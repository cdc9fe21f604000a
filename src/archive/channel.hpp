// Text handed from one decoding stage to the next while it is being written, so that a reader can
// parse the first lines of a file while the decoders still produce the last ones.
//
// The writer appends to a region that never moves (address space reserved up front, pages taken
// as they are written), makes whole lines visible from time to time, and ends the text once:
// finished, failed with a message, or failed with an exception (out of memory) that the reader
// rethrows. The reader may cancel; the writer then stops at its next publication.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace tessora {

class Channel {
public:
    // Reserves `capacity` bytes of address space; throws std::bad_alloc when it cannot.
    explicit Channel(std::size_t capacity);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    char* data() const { return p_; }
    std::size_t capacity() const { return cap_; }

    // ---- writer
    // The first `bytes` bytes are complete (they end a line).
    void publish(std::size_t bytes);
    // The text is `bytes` bytes long and complete.
    void finish(std::size_t bytes);
    void fail(std::string message);
    void fail(std::exception_ptr e);
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    // ---- reader
    // Waits until more than `seen` bytes are complete or the text has ended; returns the number
    // of bytes complete then. Returns `seen` only when the text has ended at `seen`.
    std::size_t wait_beyond(std::size_t seen);
    bool ended() const { return (word_.load(std::memory_order_acquire) & kEnded) != 0; }
    // After the end: whether the writer failed, and how.
    bool failed() const { return (word_.load(std::memory_order_acquire) & kFailed) != 0; }
    const std::string& error() const { return error_; }
    std::exception_ptr exception() const { return exception_; }
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    // The reader is done with the first `bytes` bytes: their memory goes back to the system
    // (whole pages only; reading them again would give zeros).
    void release(std::size_t bytes);

private:
    static constexpr std::uint64_t kEnded = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kFailed = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kSize = kFailed - 1;

    void end(std::uint64_t flags);

    char* p_ = nullptr;
    std::size_t cap_ = 0;
    std::atomic<std::uint64_t> word_{0};  // complete bytes, and the end flags
    std::atomic<bool> cancelled_{false};
    std::size_t released_ = 0;  // reader side
    std::string error_;  // written before the end is published
    std::exception_ptr exception_;
};

// Thrown inside a writer whose reader has cancelled; the stage catches it and stops.
struct ChannelCancelled {};

}  // namespace tessora
