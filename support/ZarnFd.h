#pragma once

// Owns one file descriptor and closes it on destruction.
class CZarnFd {
public:
    CZarnFd() = default;
    explicit CZarnFd(int hFd) : m_hFd(hFd) {}
    CZarnFd(CZarnFd&& other) noexcept : m_hFd(other.Release()) {}
    CZarnFd& operator=(CZarnFd&& other) noexcept;
    CZarnFd(const CZarnFd&) = delete;
    CZarnFd& operator=(const CZarnFd&) = delete;
    ~CZarnFd() { Reset(); }

    int Get() const { return m_hFd; }
    bool IsOpen() const { return m_hFd >= 0; }
    int Release();
    void Reset(int hFd = -1);

private:
    int m_hFd = -1;
};

// A manual-reset event on an eventfd: once set it stays signalled (readable) until Reset.
// Set may be called from any thread; the descriptor can be waited on with poll.
class CZarnEvent {
public:
    // Throws CZarnException(errno) when the eventfd cannot be created.
    CZarnEvent();

    void Set();
    void Reset();
    bool IsSet() const;
    int GetFd() const { return m_fd.Get(); }

private:
    CZarnFd m_fd;
};
