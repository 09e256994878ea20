#include "RemoteNames.h"

#include <algorithm>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

CRemoteNames::CRemoteNames(ArrivedFn fnArrived, ResolveFn fnResolve, size_t nCapacity)
    : m_pState(std::make_shared<State>()) {
    m_pState->nCapacity = std::max<size_t>(nCapacity, 1);
    m_pState->fnArrived = std::move(fnArrived);
    m_pState->fnResolve = fnResolve ? std::move(fnResolve) : ResolveByDns;
    // Detached: a lookup may wait for name servers for many seconds, and quitting must not.
    // The shared state keeps everything the worker touches alive until it ends.
    std::thread([pState = m_pState] { Work(pState); }).detach();
}

CRemoteNames::~CRemoteNames() {
    std::unique_lock<std::mutex> lock(m_pState->mtx);
    m_pState->bStop = true;
    m_pState->cv.notify_all();
    // A call of fnArrived under way ends first (it only posts): what it touches is the view's.
    m_pState->cv.wait(lock, [&] { return !m_pState->bArriving; });
}

std::string CRemoteNames::Lookup(const std::string& strAddress) {
    State& state = *m_pState;
    std::lock_guard<std::mutex> guard(state.mtx);
    if (const auto it = state.byAddress.find(strAddress); it != state.byAddress.end()) {
        state.recent.splice(state.recent.begin(), state.recent, it->second);
        return it->second->second;
    }
    if (state.pending.size() < kMaxPending &&
        std::ranges::find(state.pending, strAddress) == state.pending.end()) {
        state.pending.push_back(strAddress);
        state.cv.notify_all();
    }
    return {};
}

void CRemoteNames::Work(const std::shared_ptr<State>& pState) {
    State& state = *pState;
    std::unique_lock<std::mutex> lock(state.mtx);
    for (;;) {
        state.cv.wait(lock, [&] { return state.bStop || !state.pending.empty(); });
        if (state.bStop) {
            return;
        }
        const std::string strAddress = state.pending.front();
        lock.unlock();
        std::string strName = state.fnResolve(strAddress);
        lock.lock();
        // Still pending: the address stays listed while it is looked up, so that it is asked
        // for once.
        std::erase(state.pending, strAddress);
        if (!state.byAddress.contains(strAddress)) {
            state.recent.emplace_front(strAddress, std::move(strName));
            state.byAddress[strAddress] = state.recent.begin();
            if (state.recent.size() > state.nCapacity) {
                state.byAddress.erase(state.recent.back().first);
                state.recent.pop_back();
            }
        }
        if (state.pending.empty() && !state.bStop && state.fnArrived) {
            state.bArriving = true;
            lock.unlock();
            state.fnArrived();
            lock.lock();
            state.bArriving = false;
            state.cv.notify_all();
        }
    }
}

std::string CRemoteNames::ResolveByDns(const std::string& strAddress) {
    sockaddr_storage address{};
    socklen_t nLength = 0;
    if (strAddress.size() == 4) {
        auto* pAddress = reinterpret_cast<sockaddr_in*>(&address);
        pAddress->sin_family = AF_INET;
        std::memcpy(&pAddress->sin_addr, strAddress.data(), 4);
        nLength = sizeof(sockaddr_in);
    } else if (strAddress.size() == 16) {
        auto* pAddress = reinterpret_cast<sockaddr_in6*>(&address);
        pAddress->sin6_family = AF_INET6;
        std::memcpy(&pAddress->sin6_addr, strAddress.data(), 16);
        nLength = sizeof(sockaddr_in6);
    } else {
        return {};
    }
    char szHost[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), nLength, szHost, sizeof szHost,
                    nullptr, 0, NI_NAMEREQD) != 0) {
        return {};
    }
    return szHost;
}
