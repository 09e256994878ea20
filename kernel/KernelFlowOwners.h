#pragma once

// The in-kernel flow owners: an eBPF program pair on the cgroup v2 root (every socket of the host
// passes it) that remembers, on each flow's first packet, the socket's control group and user,
// and the sending process when known, in a fixed-size map (FlowOwners.bpf.c). Needs CAP_BPF and
// CAP_NET_ADMIN (or root); the system service loads it, and the capture helper run by root.

#include "FlowOwners.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

class CFlowOwnersProgram;

class CKernelFlowOwners final : public IFlowOwners {
public:
    // The map's size (FlowOwners.bpf.c): flows beyond it push out the least recently used.
    static constexpr size_t kMaxFlows = 65536;

    // Loads the programs and attaches them to the cgroup v2 mount strCgroupRoot (empty: found).
    // Fully attached or throws CZarnException with a description.
    explicit CKernelFlowOwners(std::string strCgroupRoot = {});
    CKernelFlowOwners(const CKernelFlowOwners&) = delete;
    CKernelFlowOwners& operator=(const CKernelFlowOwners&) = delete;
    // Detaches both programs and frees them and their map.
    ~CKernelFlowOwners() override;

    // The owners, or null and in strRefusal why the kernel or the privilege refused them (no
    // cgroup v2 mount, no CAP_BPF or CAP_NET_ADMIN, a kernel without cgroup_skb programs).
    // Never throws.
    static std::unique_ptr<CKernelFlowOwners> TryLoad(std::string& strRefusal,
                                                      std::string strCgroupRoot = {}) noexcept;

    // Any thread, several at once (each a system call on the map; nothing here changes after
    // the constructor): the meters of one process share one object.
    std::optional<FlowOwner> Lookup(const FlowKey& key) const override;
    void Forget(const std::vector<FlowKey>& keys) override;
    // Any thread, for tests and benchmarks: the flows held (walks the map), the two programs'
    // kernel ids (egress, ingress), and their total run time and runs while the kernel's
    // kernel.bpf_stats_enabled is set.
    size_t CountFlows() const;
    std::array<uint32_t, 2> GetProgramIds() const;
    struct RunStats {
        uint64_t nRunNs = 0, nRuns = 0;
    };
    RunStats GetRunStats() const;

private:
    std::unique_ptr<CFlowOwnersProgram> m_pProgram;
};
