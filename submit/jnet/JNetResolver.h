#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

/// Asynchronous IPv4 host-name resolver with a small cache.
///
/// resolve() never blocks: a name not yet known is put into a free (or the
/// least recently used finished) entry and looked up by a worker thread;
/// the caller asks again later. The worker runs only while entries wait.
/// resolve() belongs to one thread (the owner's); the worker is the only
/// other thread that touches the table.
///
/// A lookup of the system resolver cannot be interrupted and may hang for
/// as long as the system lets it, so nobody waits for the worker: the table
/// is shared between the resolver and its worker, the destructor only asks
/// the worker to stop after the lookup in progress, and the worker, ended by
/// that flag, lets go of the table when it is done. A time limit of a
/// request, or the shutdown, is never held up by a lookup.
class JNetResolver {
public:
    /// Entries of the resolvers that connections create for themselves.
    static constexpr std::size_t kConnectionEntries = 64;
    /// The address stored for a name that could not be resolved.
    static constexpr std::uint32_t kFailed = 0xFFFFFFFFu;

    /// Looks up one host name; the address in network byte order, or
    /// kFailed.
    using LookupFunction = std::function<std::uint32_t(const char* host)>;

    /// Without a lookup function, names are asked of the system resolver.
    explicit JNetResolver(std::size_t entries = kConnectionEntries, LookupFunction lookUp = {});
    /// Returns at once, also while a lookup hangs.
    ~JNetResolver();
    JNetResolver(const JNetResolver&) = delete;
    JNetResolver& operator=(const JNetResolver&) = delete;

    /// 0: address (IPv4, network byte order) filled in; 1: pending, call
    /// again later; -1: the name cannot be resolved (or every entry is busy).
    /// Dotted addresses are answered at once. Names under the reserved
    /// ".invalid" domain always fail without a lookup.
    int resolve(std::string_view host, std::uint32_t& address);

    /// Whether no worker thread is running.
    bool idle() const noexcept { return mShared->idle.load(); }

private:
    struct Entry {
        std::time_t lastUsed = 0; // 0: free
        bool done = false;
        std::uint8_t mode = 0; // 0: name to address
        char host[256] = {};
        std::uint32_t address = kFailed;
        std::uint64_t generation = 0; // changes each time the slot is refilled
    };

    /// What the resolver and its worker share; the last of them to let go
    /// frees it.
    struct Shared {
        std::mutex mutex; // guards entries; never held during a lookup
        std::vector<Entry> entries;
        std::uint64_t nextGeneration = 1;
        std::atomic<bool> idle{true};
        std::atomic<bool> stop{false};
        LookupFunction lookUp;
    };

    /// Puts a name into a free or the least recently used finished entry;
    /// false when every entry is still waiting. Called with the mutex held.
    static bool fillSlot(Shared& shared, const std::string& name, std::time_t now);
    void startWorker();
    static void workerMain(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> mShared;
};
