#pragma once

// The names of connections' remote ends, by reverse DNS on a worker thread of the view's own, so
// that the drawing thread never waits for a name server: it takes what is known and asks for the
// rest. Bounded: at most kCapacity names (the least recently shown go first) and kMaxPending
// addresses waiting.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class CRemoteNames {
public:
    static constexpr size_t kCapacity = 1024;
    static constexpr size_t kMaxPending = 256;

    // The name of an address's bytes (4 or 16, network order), "" when it has none. Worker
    // thread; it may wait for the name servers.
    using ResolveFn = std::function<std::string(const std::string& strAddress)>;
    // Worker thread, after names arrived and none is waiting: for the view to draw again. It must
    // not call this object and must not wait (it posts to the view's loop).
    using ArrivedFn = std::function<void()>;

    // Starts the worker (throws std::system_error when no thread can be made). fnResolve: the
    // lookup (getnameinfo when none).
    explicit CRemoteNames(ArrivedFn fnArrived, ResolveFn fnResolve = {},
                          size_t nCapacity = kCapacity);
    // Does not wait for a lookup: a worker inside a slow one finishes it on its own, then ends,
    // without calling fnArrived (a call under way is waited for).
    ~CRemoteNames();
    CRemoteNames(const CRemoteNames&) = delete;
    CRemoteNames& operator=(const CRemoteNames&) = delete;

    // Any thread, never waits for a lookup: the address's name, or "" while it is not known (it
    // is then asked for, unless kMaxPending addresses wait already) or it has none.
    std::string Lookup(const std::string& strAddress);

    // getnameinfo's name for the address, "" without one.
    static std::string ResolveByDns(const std::string& strAddress);

private:
    // What the view and the worker share; the worker holds it too, so that it may outlive the
    // view's object.
    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        bool bStop = false;
        bool bArriving = false; // the worker is calling fnArrived
        // The most recently used first; "" for an address without a name.
        std::list<std::pair<std::string, std::string>> recent;
        std::unordered_map<std::string, std::list<std::pair<std::string, std::string>>::iterator>
            byAddress;
        std::vector<std::string> pending;
        size_t nCapacity = kCapacity;
        ArrivedFn fnArrived;
        ResolveFn fnResolve;
    };
    static void Work(const std::shared_ptr<State>& pState);

    std::shared_ptr<State> m_pState;
};
