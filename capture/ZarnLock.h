#pragma once

#include <mutex>

// A recursive lock: the holding thread may take it again; it is free after as many Unlock as Lock.
class CZarnLock {
public:
    CZarnLock() = default;
    CZarnLock(const CZarnLock&) = delete;
    CZarnLock& operator=(const CZarnLock&) = delete;
    ~CZarnLock() = default;

    virtual void Lock();
    virtual void Unlock();

private:
    std::recursive_mutex m_cs;
};

// Holds a CZarnLock for the guard's scope, also when an exception leaves it.
class CZarnScopedLock {
public:
    explicit CZarnScopedLock(CZarnLock* pLock);
    CZarnScopedLock(const CZarnScopedLock&) = delete;
    CZarnScopedLock& operator=(const CZarnScopedLock&) = delete;
    ~CZarnScopedLock();

private:
    CZarnLock* m_pLock;
};
