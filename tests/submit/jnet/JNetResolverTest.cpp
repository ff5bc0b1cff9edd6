#include "submit/jnet/JNetResolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Asks until the answer is no longer pending (generous bound: 2 on time-out).
int ResolveToEnd(JNetResolver& resolver, const char* host, std::uint32_t& address) {
    const auto until = std::chrono::steady_clock::now() + 15s;
    int result;
    while ((result = resolver.resolve(host, address)) == 1) {
        if (std::chrono::steady_clock::now() > until)
            return 2;
        std::this_thread::sleep_for(1ms);
    }
    return result;
}

TEST(JNetResolverTest, DottedAddressesAnswerAtOnce) {
    JNetResolver resolver(4);
    for (const char* host : {"127.0.0.1", "10.1.2.3", "255.255.255.254"}) {
        std::uint32_t address = 0;
        EXPECT_EQ(resolver.resolve(host, address), 0) << host;
        EXPECT_EQ(address, ::inet_addr(host)) << host;
    }
    EXPECT_TRUE(resolver.idle()) << "no worker for dotted addresses";
}

TEST(JNetResolverTest, NamesResolveAsynchronouslyAndAreCached) {
    JNetResolver resolver(JNetResolver::kConnectionEntries);
    std::uint32_t address = 0;
    EXPECT_EQ(resolver.resolve("localhost", address), 1);
    ASSERT_EQ(ResolveToEnd(resolver, "localhost", address), 0);
    EXPECT_EQ(address, ::inet_addr("127.0.0.1"));
    address = 0;
    EXPECT_EQ(resolver.resolve("LocalHost", address), 0) << "cached, compared without case";
    EXPECT_EQ(address, ::inet_addr("127.0.0.1"));
}

TEST(JNetResolverTest, UnresolvableNamesFail) {
    JNetResolver resolver(8);
    for (const char* host : {"nonexistent.invalid", "a.b.INVALID.", "invalid"}) {
        SCOPED_TRACE(host);
        std::uint32_t address = 0;
        EXPECT_EQ(resolver.resolve(host, address), 1);
        EXPECT_EQ(ResolveToEnd(resolver, host, address), -1);
        EXPECT_EQ(resolver.resolve(host, address), -1) << "the failure is cached";
    }
    std::uint32_t address = 0;
    EXPECT_EQ(resolver.resolve("", address), -1);
    EXPECT_EQ(resolver.resolve(std::string(300, 'a'), address), -1) << "longer than an entry";
}

TEST(JNetResolverTest, FullTableReusesTheLeastRecentlyUsedFinishedEntry) {
    JNetResolver resolver(2);
    std::uint32_t address = 0;
    EXPECT_EQ(resolver.resolve("a.invalid", address), 1);
    EXPECT_EQ(resolver.resolve("b.invalid", address), 1);
    ASSERT_EQ(ResolveToEnd(resolver, "a.invalid", address), -1);
    ASSERT_EQ(ResolveToEnd(resolver, "b.invalid", address), -1);
    EXPECT_EQ(resolver.resolve("b.invalid", address), -1); // b is now the more recently used
    EXPECT_EQ(resolver.resolve("c.invalid", address), 1) << "takes a's entry";
    EXPECT_EQ(resolver.resolve("b.invalid", address), -1) << "b kept its entry";
    EXPECT_EQ(resolver.resolve("a.invalid", address), 1) << "a was evicted and is looked up again";
    EXPECT_EQ(ResolveToEnd(resolver, "a.invalid", address), -1);
}

TEST(JNetResolverTest, DestructionStopsAPendingWorker) {
    for (int i = 0; i < 20; ++i) {
        JNetResolver resolver(4);
        std::uint32_t address = 0;
        EXPECT_EQ(resolver.resolve("localhost", address), 1);
        EXPECT_FALSE(resolver.idle() && resolver.resolve("localhost", address) == 1);
    }
}

TEST(JNetResolverTest, AHangingLookupHoldsUpNeitherTheOwnerNorItsEnd) {
    // The lookup hangs until released, as a system resolver may for minutes.
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool released = false;
        bool finished = false;
    };
    auto gate = std::make_shared<Gate>();
    auto lookUp = [gate](const char*) {
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->entered = true;
        gate->changed.notify_all();
        gate->changed.wait(lock, [&] { return gate->released; });
        gate->finished = true;
        gate->changed.notify_all();
        return JNetResolver::kFailed;
    };
    auto resolver = std::make_unique<JNetResolver>(4, lookUp);
    std::uint32_t address = 0;
    EXPECT_EQ(resolver->resolve("slow.example", address), 1);
    {
        std::unique_lock<std::mutex> lock(gate->mutex);
        ASSERT_TRUE(gate->changed.wait_for(lock, 15s, [&] { return gate->entered; }));
    }
    EXPECT_EQ(resolver->resolve("slow.example", address), 1) << "still pending, and asking does not wait";
    auto destroyed = std::async(std::launch::async, [&] { resolver.reset(); });
    const bool returned = destroyed.wait_for(15s) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->released = true;
    }
    gate->changed.notify_all();
    destroyed.get();
    EXPECT_TRUE(returned) << "the destructor waited for the lookup";
    // The worker, left behind, finishes on its own.
    std::unique_lock<std::mutex> lock(gate->mutex);
    EXPECT_TRUE(gate->changed.wait_for(lock, 15s, [&] { return gate->finished; }));
}

TEST(JNetResolverTest, WorkerGoesIdleWhenDone) {
    JNetResolver resolver(4);
    std::uint32_t address = 0;
    ASSERT_EQ(ResolveToEnd(resolver, "localhost", address), 0);
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (!resolver.idle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(resolver.idle());
}

} // namespace
