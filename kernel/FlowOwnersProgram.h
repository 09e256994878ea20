#pragma once

// The loaded eBPF program pair and its map, apart from the flows' types: libbpf's headers and
// libpcap's (which Flow.h takes) declare the same names, so no file includes both.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct flow_owners_bpf;

// The map's value, as FlowOwners.bpf.c writes it.
struct KernelOwner {
    uint64_t nCookie;
    uint64_t nCgroupId;
    uint32_t nUid;
    uint32_t nPid;
    char szComm[16];
};
static_assert(sizeof(KernelOwner) == 40);

class CFlowOwnersProgram {
public:
    // The map's key size (the resolver's FlowKey).
    static constexpr size_t kKeyBytes = 40;

    // Loads both programs and attaches them to the cgroup v2 root directory strCgroupRoot. Fully
    // attached or throws CZarnException with a description.
    explicit CFlowOwnersProgram(const std::string& strCgroupRoot);
    CFlowOwnersProgram(const CFlowOwnersProgram&) = delete;
    CFlowOwnersProgram& operator=(const CFlowOwnersProgram&) = delete;
    ~CFlowOwnersProgram();

    bool Lookup(const void* pKey, KernelOwner& owner) const;
    void Delete(const void* pKey);
    size_t CountFlows() const;
    std::array<uint32_t, 2> GetProgramIds() const;
    void GetRunStats(uint64_t& nRunNs, uint64_t& nRuns) const;
    // Whether senders' names are kept (the kernel allows it with CAP_PERFMON or CAP_SYS_ADMIN).
    bool IsWithComm() const { return m_bWithComm; }

private:
    struct SkeletonDeleter {
        void operator()(flow_owners_bpf* pSkeleton) const;
    };
    std::unique_ptr<flow_owners_bpf, SkeletonDeleter> m_pSkeleton;
    int m_hMap = -1; // the map's descriptor, owned by the skeleton
    bool m_bWithComm = false;
};
