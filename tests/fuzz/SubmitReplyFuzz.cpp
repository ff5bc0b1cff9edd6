// Feeds arbitrary bytes to the protocol client's parsers of untrusted input:
// the cache data (setCache, the duplicate check, renumbering) and the
// handshake and submission replies. The client has no user, so no exchange
// starts. The input is split at the first two NUL bytes into cache data,
// handshake reply and submission reply.
#include "submit/Vortler.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class CFuzzClient : public Vortler {
public:
    ~CFuzzClient() override { stopThreads(); }
    using Vortler::handleHandshake;
    using Vortler::handleSubmit;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t first = input.find('\0');
    const std::size_t second = first == std::string::npos ? std::string::npos : input.find('\0', first + 1);
    const std::string cache = input.substr(0, first);
    const std::string handshake =
        first == std::string::npos ? "" : input.substr(first + 1, second - first - 1);
    const std::string reply = second == std::string::npos ? "" : input.substr(second + 1);

    CFuzzClient client;
    client.setCache(cache, static_cast<int>(cache.size() % 7));
    if (client.addSong("a", "t", "b", "m", 30 + static_cast<int>(size % 100), 1146486896 + size) == 1 &&
        client.pendingData().size() < cache.size())
        std::abort();
    const std::string moved = Vortler::renumber(cache, -1);
    if (Vortler::renumber(moved, 1).size() > cache.size() + 32 * cache.size())
        std::abort();
    client.handleHandshake(handshake);
    client.handleSubmit(reply);
    if (client.pendingCount() < 0)
        std::abort();
    return 0;
}
