#include "KernelFlowOwners.h"

#include "Cgroups.h"
#include "FlowOwnersProgram.h"
#include "ZarnException.h"

#include <cerrno>
#include <cstring>

static_assert(sizeof(FlowKey) == CFlowOwnersProgram::kKeyBytes);

namespace {

std::string CgroupRootOrThrow(std::string strCgroupRoot) {
    std::string strRoot = CCgroupIndex(std::move(strCgroupRoot)).GetRoot();
    if (strRoot.empty()) {
        throw CZarnException(ENOENT, "in-kernel flow owners: no cgroup v2 hierarchy is mounted");
    }
    return strRoot;
}

} // namespace

CKernelFlowOwners::CKernelFlowOwners(std::string strCgroupRoot)
    : m_pProgram(
          std::make_unique<CFlowOwnersProgram>(CgroupRootOrThrow(std::move(strCgroupRoot)))) {}

CKernelFlowOwners::~CKernelFlowOwners() = default;

std::unique_ptr<CKernelFlowOwners> CKernelFlowOwners::TryLoad(std::string& strRefusal,
                                                              std::string strCgroupRoot) noexcept {
    try {
        strRefusal.clear();
        return std::make_unique<CKernelFlowOwners>(std::move(strCgroupRoot));
    } catch (...) {
        strRefusal = DescribeError(CurrentError());
        return nullptr;
    }
}

std::optional<FlowOwner> CKernelFlowOwners::Lookup(const FlowKey& key) const {
    KernelOwner owner{};
    if (!m_pProgram->Lookup(&key, owner)) {
        return std::nullopt;
    }
    FlowOwner found{owner.nCgroupId, owner.nUid, owner.nPid, {}};
    if (owner.nPid != 0) {
        found.strComm.assign(owner.szComm, ::strnlen(owner.szComm, sizeof owner.szComm));
    }
    return found;
}

void CKernelFlowOwners::Forget(const std::vector<FlowKey>& keys) {
    for (const FlowKey& key : keys) {
        m_pProgram->Delete(&key);
    }
}

size_t CKernelFlowOwners::CountFlows() const {
    return m_pProgram->CountFlows();
}

std::array<uint32_t, 2> CKernelFlowOwners::GetProgramIds() const {
    return m_pProgram->GetProgramIds();
}

CKernelFlowOwners::RunStats CKernelFlowOwners::GetRunStats() const {
    RunStats stats;
    m_pProgram->GetRunStats(stats.nRunNs, stats.nRuns);
    return stats;
}
