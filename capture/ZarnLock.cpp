#include "ZarnLock.h"

void CZarnLock::Lock() {
    m_cs.lock();
}

void CZarnLock::Unlock() {
    m_cs.unlock();
}

CZarnScopedLock::CZarnScopedLock(CZarnLock* pLock) : m_pLock(pLock) {
    m_pLock->Lock();
}

CZarnScopedLock::~CZarnScopedLock() {
    m_pLock->Unlock();
}
