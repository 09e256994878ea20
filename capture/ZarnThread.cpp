#include "ZarnThread.h"

#include "ZarnException.h"

#include <cerrno>
#include <system_error>
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
    std::vector<std::thread> threads;
    for (size_t i = 0; i < nCount; ++i) {
        try {
            threads.emplace_back(fn, i);
        } catch (const std::exception&) {
            fn(i); // no thread to be had: this one does the work
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
