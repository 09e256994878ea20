#include "Capabilities.h"

#include "ZarnException.h"

#include <cerrno>
#include <memory>
#include <sys/prctl.h>

namespace {

struct CapFree {
    void operator()(cap_t pCaps) const { cap_free(pCaps); }
};
using CapsPtr = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

CapsPtr Checked(cap_t pCaps) {
    if (pCaps == nullptr) {
        throw CZarnException(errno);
    }
    return CapsPtr(pCaps);
}

} // namespace

void KeepOnlyCapabilities(std::initializer_list<cap_value_t> keep) {
    const CapsPtr pHeld = Checked(cap_get_proc());
    const CapsPtr pKept = Checked(cap_init());
    for (cap_value_t nCap : keep) {
        cap_flag_value_t eHeld = CAP_CLEAR;
        if (cap_get_flag(pHeld.get(), nCap, CAP_PERMITTED, &eHeld) == 0 && eHeld == CAP_SET) {
            cap_set_flag(pKept.get(), CAP_PERMITTED, 1, &nCap, CAP_SET);
            cap_set_flag(pKept.get(), CAP_EFFECTIVE, 1, &nCap, CAP_SET);
        }
    }
    // The ambient set first: it may only hold what stays permitted and inheritable.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 ||
        cap_set_proc(pKept.get()) != 0) {
        throw CZarnException(errno);
    }
}
