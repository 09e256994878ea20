// The remote names' cache: the drawing thread never waits, names come from the worker, the cache
// keeps the recently shown ones only, and the pending list is bounded.

#include "RemoteNames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

// Waits for a condition (a generous limit turns a hang into a failure).
template <class Fn> bool WaitFor(Fn fn) {
    for (int n = 0; n < 15'000 && !fn(); ++n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return fn();
}

std::string V4(uint8_t nLast) {
    return std::string{'\x0a', '\x00', '\x00', static_cast<char>(nLast)};
}

} // namespace

TEST(RemoteNames, LooksUpOffTheCallersThreadAndKeepsTheRecentOnes) {
    // A lookup that blocks until the test lets it go: Lookup still returns at once.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> nLookups = 0, nArrived = 0;
    CRemoteNames names([&] { ++nArrived; },
                       [&](const std::string& strAddress) {
                           released.wait();
                           ++nLookups;
                           return strAddress == V4(2) ? std::string() // no name
                                                      : "host" + std::to_string(strAddress[3]);
                       },
                       2);
    EXPECT_EQ(names.Lookup(V4(1)) + names.Lookup(V4(1)) + names.Lookup(V4(2)), ""); // 1 asked once
    release.set_value();
    ASSERT_TRUE(WaitFor([&] { return nLookups == 2 && nArrived >= 1; }));
    EXPECT_EQ(names.Lookup(V4(1)), "host1");
    EXPECT_EQ(names.Lookup(V4(2)), ""); // known to have none: not asked again
    // A third name pushes out the least recently shown (1, as 2 was shown after it).
    names.Lookup(V4(3));
    ASSERT_TRUE(WaitFor([&] { return names.Lookup(V4(3)) == "host3"; }));
    EXPECT_EQ(nLookups, 3);
    EXPECT_EQ(names.Lookup(V4(1)), "");
    ASSERT_TRUE(WaitFor([&] { return nLookups == 4; }));
}

// No more than kMaxPending wait; quitting does not wait for a lookup under way.
TEST(RemoteNames, PendingIsBoundedAndQuittingDoesNotWait) {
    std::atomic<bool> bHold = true;
    std::atomic<int> nStarted = 0, nLookups = 0;
    {
        CRemoteNames names({}, [&](const std::string&) {
            ++nStarted;
            while (bHold) {
                std::this_thread::yield();
            }
            ++nLookups;
            return std::string("x");
        });
        names.Lookup("first");
        ASSERT_TRUE(WaitFor([&] { return nStarted == 1; }));
        for (size_t n = 0; n < 4 * CRemoteNames::kMaxPending; ++n) {
            names.Lookup(std::to_string(n));
        }
        bHold = false;
        // "first" and kMaxPending - 1 more were kept; once they are done a new one is taken.
        ASSERT_TRUE(WaitFor([&] { return nLookups == int{CRemoteNames::kMaxPending}; }));
        ASSERT_TRUE(WaitFor([&] {
            names.Lookup("later");
            return nLookups == int{CRemoteNames::kMaxPending} + 1;
        }));
        bHold = true;
        names.Lookup("last");
        ASSERT_TRUE(WaitFor([&] { return nStarted == int{CRemoteNames::kMaxPending} + 2; }));
    } // returns while the worker waits inside its lookup
    bHold = false;
    ASSERT_TRUE(WaitFor([&] { return nLookups == int{CRemoteNames::kMaxPending} + 2; }));
}

// The real lookup: this host's files name 127.0.0.1; bytes that are no address have no name.
TEST(RemoteNames, ResolvesByTheHostsFiles) {
    EXPECT_EQ(CRemoteNames::ResolveByDns(std::string("\x7f\x00\x00\x01", 4)), "localhost");
    EXPECT_EQ(CRemoteNames::ResolveByDns("abc"), "");
}
