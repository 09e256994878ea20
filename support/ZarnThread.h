#pragma once

#include <cstddef>
#include <functional>
#include <thread>

// An object whose loop runs on a thread of its own, held by a CZarnThread member of that object.
struct IExecutable {
    // Runs the loop on the holder's thread; returns when told to stop or when its source failed.
    // Must not let an exception escape: nothing above it catches one.
    virtual void Run() = 0;
    // Called on another thread by the holder: asks Run to return soon and wakes it if it waits.
    // Returns at once; the holder joins the thread.
    virtual void Stop() = 0;

protected:
    ~IExecutable() = default;
};

// Entry routine of every library thread: runs the executable's loop.
void ExecutableThreadProc(IExecutable* pExecutable);

// Holds one thread that runs an executable. Start, Stop and the destructor are called on a
// controlling thread, never on the held thread itself.
class CZarnThread {
public:
    CZarnThread() = default;
    CZarnThread(const CZarnThread&) = delete;
    CZarnThread& operator=(const CZarnThread&) = delete;
    ~CZarnThread();

    // Starts a thread running pExecutable->Run(). Throws CZarnException(errno) when the thread
    // cannot be created; the holder then holds nothing.
    void Start(IExecutable* pExecutable);
    // If a thread is held: asks the executable to stop, joins the thread and releases it. The one
    // place where a library thread is joined.
    void Stop();

private:
    std::thread m_hThread;
    IExecutable* m_pExecutable = nullptr;
};

// Runs fn(0) .. fn(nCount - 1) on a thread per processor (four per processor for more than 64) and
// returns when all have returned; for work that mostly waits in the kernel (opening and closing
// devices). More threads would not finish sooner, only keep the process's other threads (the
// window's) off the processors. Where no thread can be made, the calling thread does the work. fn
// must not throw.
void RunConcurrently(size_t nCount, const std::function<void(size_t)>& fn);
