#include "CountedNew.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local bool g_bCountAllocations = false;
std::atomic<int> g_nAllocations{0};

} // namespace

namespace orvektest {

void CountAllocations(bool bCount) {
    g_bCountAllocations = bCount;
}

int TakeCountedAllocations() {
    return g_nAllocations.exchange(0);
}

} // namespace orvektest

void* operator new(std::size_t nBytes) {
    if (g_bCountAllocations) {
        ++g_nAllocations;
    }
    if (void* p = std::malloc(nBytes == 0 ? 1 : nBytes)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
