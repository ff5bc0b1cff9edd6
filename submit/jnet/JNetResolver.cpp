#include "submit/jnet/JNetResolver.h"

#include "app/CrashHandler.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

namespace {

// RFC 6761: names under "invalid" never resolve, and resolver libraries
// answer them negatively without asking the network.
bool isReservedInvalid(const char* host) {
    std::string name(host);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    constexpr std::string_view kSuffix = "invalid";
    if (name.size() < kSuffix.size())
        return false;
    const std::size_t at = name.size() - kSuffix.size();
    if (strcasecmp(name.c_str() + at, kSuffix.data()) != 0)
        return false;
    return at == 0 || name[at - 1] == '.';
}

std::uint32_t lookUpName(const char* host) {
    if (isReservedInvalid(host))
        return JNetResolver::kFailed;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr)
        return JNetResolver::kFailed;
    std::uint32_t address = JNetResolver::kFailed;
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    ::freeaddrinfo(result);
    return address;
}

} // namespace

JNetResolver::JNetResolver(std::size_t entries, LookupFunction lookUp) : mShared(std::make_shared<Shared>()) {
    mShared->entries.resize(std::max<std::size_t>(entries, 1));
    mShared->lookUp = lookUp ? std::move(lookUp) : LookupFunction(lookUpName);
}

JNetResolver::~JNetResolver() {
    // A running worker ends after its lookup; it holds the table till then.
    mShared->stop.store(true);
}

int JNetResolver::resolve(std::string_view host, std::uint32_t& address) {
    const std::string name(host);
    in_addr dotted{};
    if (::inet_pton(AF_INET, name.c_str(), &dotted) == 1) {
        address = dotted.s_addr;
        return 0;
    }
    // A name that does not fit an entry (or carries a NUL) cannot be a
    // host name; cutting it would look up another one.
    if (name.empty() || name.size() >= sizeof(Entry::host) || name.find('\0') != std::string::npos)
        return -1;

    const std::time_t now = std::max<std::time_t>(std::time(nullptr), 1);
    {
        std::lock_guard<std::mutex> guard(mShared->mutex);
        bool known = false;
        for (Entry& entry : mShared->entries) {
            if (entry.lastUsed == 0 || entry.mode != 0 || strcasecmp(entry.host, name.c_str()) != 0)
                continue;
            entry.lastUsed = now;
            if (entry.done) {
                if (entry.address == kFailed)
                    return -1;
                address = entry.address;
                return 0;
            }
            known = true;
            break;
        }
        if (!known && !fillSlot(*mShared, name, now))
            return -1;
    }
    startWorker();
    return 1;
}

bool JNetResolver::fillSlot(Shared& shared, const std::string& name, std::time_t now) {
    Entry* slot = nullptr;
    for (Entry& entry : shared.entries) {
        if (entry.lastUsed == 0) {
            slot = &entry;
            break;
        }
    }
    if (slot == nullptr) {
        for (Entry& entry : shared.entries) {
            if (entry.done && (slot == nullptr || entry.lastUsed < slot->lastUsed))
                slot = &entry;
        }
    }
    if (slot == nullptr)
        return false;
    std::memset(slot->host, 0, sizeof slot->host);
    std::memcpy(slot->host, name.data(), name.size());
    slot->mode = 0;
    slot->address = kFailed;
    slot->done = false;
    slot->lastUsed = now;
    slot->generation = shared.nextGeneration++;
    return true;
}

void JNetResolver::startWorker() {
    // Of two workers only one runs: the flag is taken here and given back
    // by the worker as its very last step.
    bool idle = true;
    if (!mShared->idle.compare_exchange_strong(idle, false))
        return;
    try {
        std::shared_ptr<Shared> shared = mShared;
        CCrashHandler::StartThread([shared] { workerMain(shared); }).detach();
    } catch (const std::system_error&) {
        mShared->idle.store(true);
    }
}

void JNetResolver::workerMain(const std::shared_ptr<Shared>& shared) {
    for (std::size_t i = 0; i < shared->entries.size() && !shared->stop.load(); ++i) {
        char host[sizeof(Entry::host)];
        std::uint64_t generation;
        {
            std::lock_guard<std::mutex> guard(shared->mutex);
            const Entry& entry = shared->entries[i];
            if (entry.lastUsed == 0 || entry.done || entry.mode != 0)
                continue;
            std::memcpy(host, entry.host, sizeof host);
            generation = entry.generation;
        }
        const std::uint32_t address = shared->lookUp(host);
        std::lock_guard<std::mutex> guard(shared->mutex);
        Entry& entry = shared->entries[i];
        if (entry.generation == generation) {
            entry.address = address;
            entry.done = true;
        }
    }
    shared->idle.store(true);
}
