#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

/// Asynchronous IPv4 host-name resolver with a small cache.
///
/// resolve() never blocks: a name not yet known is put into a free (or the
/// least recently used finished) entry and looked up by a worker thread;
/// the caller asks again later. The worker runs only while entries wait and
/// is stopped and joined by the destructor. resolve() belongs to one thread
/// (the owner's); the worker is the only other thread that touches the table.
class JNetResolver {
public:
    /// Entries of the resolvers that connections create for themselves.
    static constexpr std::size_t kConnectionEntries = 64;
    /// The address stored for a name that could not be resolved.
    static constexpr std::uint32_t kFailed = 0xFFFFFFFFu;

    explicit JNetResolver(std::size_t entries = kConnectionEntries);
    ~JNetResolver();
    JNetResolver(const JNetResolver&) = delete;
    JNetResolver& operator=(const JNetResolver&) = delete;

    /// 0: address (IPv4, network byte order) filled in; 1: pending, call
    /// again later; -1: the name cannot be resolved (or every entry is busy).
    /// Dotted addresses are answered at once. Names under the reserved
    /// ".invalid" domain always fail without a lookup.
    int resolve(std::string_view host, std::uint32_t& address);

    /// Whether no worker thread is running.
    bool idle() const noexcept { return mIdle.load(); }

private:
    struct Entry {
        std::time_t lastUsed = 0; // 0: free
        bool done = false;
        std::uint8_t mode = 0; // 0: name to address
        char host[256] = {};
        std::uint32_t address = kFailed;
        std::uint64_t generation = 0; // changes each time the slot is refilled
    };

    /// Puts a name into a free or the least recently used finished entry;
    /// false when every entry is still waiting. Called with mMutex held.
    bool fillSlot(const std::string& name, std::time_t now);
    void startWorker();
    void workerMain();

    std::mutex mMutex; // guards mEntries; never held during a lookup
    std::vector<Entry> mEntries;
    std::uint64_t mNextGeneration = 1;
    std::atomic<bool> mIdle{true};
    std::thread mWorker;
};
