#pragma once

#include <thread>

// An object whose loop runs on a thread of its own, held by a CZarnThread member of that object.
struct IExecutable {
    // Runs the loop on the holder's thread; returns when told to stop or when its source failed.
    // Must not let an exception escape: nothing above it catches one.
    virtual void Run() = 0;
    // Called on another thread: makes Run return and returns only once that thread has ended.
    virtual void Stop() = 0;
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
    virtual ~CZarnThread();

    // Starts a thread running pExecutable->Run(). Throws CZarnException(errno) when the thread
    // cannot be created; the holder then holds nothing.
    void Start(IExecutable* pExecutable);
    // If a thread is held: the executable's Stop (loop ended, thread joined), then release.
    void Stop();
    // Waits for the held thread to end; returns at once when it has ended or none is held.
    void Wait();
    bool IsHeld() const { return m_hThread.joinable(); }

private:
    std::thread m_hThread;
    IExecutable* m_pExecutable = nullptr;
};
