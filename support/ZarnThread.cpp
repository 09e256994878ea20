#include "ZarnThread.h"

#include "ZarnException.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <vector>

void ExecutableThreadProc(IExecutable* pExecutable) {
    pExecutable->Run();
}

CZarnThread::~CZarnThread() {
    Stop();
}

void CZarnThread::Start(IExecutable* pExecutable) {
    // Assigning over a held std::thread would end the process; release the old one first.
    Stop();
    m_pExecutable = pExecutable;
    try {
        m_hThread = std::thread(ExecutableThreadProc, pExecutable);
    } catch (const std::system_error& e) {
        throw CZarnException(e.code().value() != 0 ? e.code().value() : EAGAIN);
    }
}

void CZarnThread::Stop() {
    if (!m_hThread.joinable()) {
        return;
    }
    m_pExecutable->Stop();
    m_hThread.join();
}

void RunConcurrently(size_t nCount, const std::function<void(size_t)>& fn) {
    // Each worker takes the next index until none is left.
    std::atomic<size_t> nNext{0};
    const auto work = [&] {
        for (size_t i = nNext.fetch_add(1); i < nCount; i = nNext.fetch_add(1)) {
            fn(i);
        }
    };
    // Opening and closing capture sockets mostly sleeps in the kernel (each waits for the network
    // stack's grace periods, which concurrent waits share): for hundreds of devices a few workers
    // per processor overlap those waits (500 devices: 270-300 ms with 8 workers on 2 processors,
    // 700-1200 ms with 2, 490-790 ms with 32). For a few dozen, one per processor is as fast and
    // leaves the window's thread its share of the processors.
    const size_t nProcessors = std::max(1U, std::thread::hardware_concurrency());
    const size_t nWorkers = std::min<size_t>(nCount, nProcessors * (nCount > 64 ? 4 : 1));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < nWorkers; ++i) {
        try {
            threads.emplace_back(work);
        } catch (const std::exception&) {
            break;
        }
    }
    // No thread to be had: this one does the work.
    if (threads.empty()) {
        work();
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
