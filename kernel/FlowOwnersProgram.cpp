#include "FlowOwnersProgram.h"

#include "ZarnException.h"
#include "ZarnFd.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>

#include "FlowOwners.skel.h"

namespace {

// libbpf's last warning on this thread, which a failure's text carries; nothing goes to stderr.
thread_local char g_szLastWarning[256];

// libbpf, on the thread that loads: keeps the warning; must not block.
int KeepWarning(libbpf_print_level eLevel, const char* szFormat, va_list args) {
    if (eLevel == LIBBPF_WARN) {
        std::vsnprintf(g_szLastWarning, sizeof g_szLastWarning, szFormat, args);
        g_szLastWarning[std::strcspn(g_szLastWarning, "\n")] = '\0';
    }
    return 0;
}

[[noreturn]] void ThrowLoadError(const char* szStep, int nError) {
    std::string strText =
        std::string("in-kernel flow owners: ") + szStep + ": " + std::strerror(nError);
    if (nError == EPERM || nError == EACCES) {
        strText += " (needs CAP_BPF and CAP_NET_ADMIN)";
    } else if (g_szLastWarning[0] != '\0') {
        strText += std::string(" (") + g_szLastWarning + ")";
    }
    throw CZarnException(nError, strText.c_str());
}

bool ProgramInfo(const bpf_program* pProgram, bpf_prog_info& info) {
    info = {};
    uint32_t nLength = sizeof info;
    return bpf_obj_get_info_by_fd(bpf_program__fd(pProgram), &info, &nLength) == 0;
}

} // namespace

void CFlowOwnersProgram::SkeletonDeleter::operator()(flow_owners_bpf* pSkeleton) const {
    flow_owners_bpf__destroy(pSkeleton); // detaches the links before it frees the programs
}

CFlowOwnersProgram::CFlowOwnersProgram(const std::string& strCgroupRoot) {
    static std::once_flag s_quiet;
    std::call_once(s_quiet, [] { libbpf_set_print(KeepWarning); });
    g_szLastWarning[0] = '\0';
    const CZarnFd fdRoot(::open(strCgroupRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fdRoot.IsOpen()) {
        ThrowLoadError("opening the cgroup v2 root", errno);
    }
    // With the sending process's name if the kernel allows it to this process, else without.
    for (const bool bWithComm : {true, false}) {
        m_pSkeleton.reset(flow_owners_bpf__open());
        if (!m_pSkeleton) {
            ThrowLoadError("opening", errno);
        }
        m_pSkeleton->rodata->with_comm = bWithComm ? 1 : 0;
        const int nResult = flow_owners_bpf__load(m_pSkeleton.get());
        if (nResult == 0) {
            m_bWithComm = bWithComm;
            break;
        }
        if (!bWithComm || nResult != -EINVAL) {
            ThrowLoadError("loading", -nResult);
        }
    }
    // Links, not plain attachments: they sit beside other programs on the groups (systemd's) and
    // go with this object, or with the process.
    auto& links = m_pSkeleton->links;
    links.orvek_egress = bpf_program__attach_cgroup(m_pSkeleton->progs.orvek_egress, fdRoot.Get());
    if (links.orvek_egress == nullptr) {
        ThrowLoadError("attaching", errno);
    }
    links.orvek_ingress =
        bpf_program__attach_cgroup(m_pSkeleton->progs.orvek_ingress, fdRoot.Get());
    if (links.orvek_ingress == nullptr) {
        ThrowLoadError("attaching", errno);
    }
    m_hMap = bpf_map__fd(m_pSkeleton->maps.flow_owners);
}

CFlowOwnersProgram::~CFlowOwnersProgram() = default;

bool CFlowOwnersProgram::Lookup(const void* pKey, KernelOwner& owner) const {
    return bpf_map_lookup_elem(m_hMap, pKey, &owner) == 0;
}

void CFlowOwnersProgram::Delete(const void* pKey) {
    bpf_map_delete_elem(m_hMap, pKey); // one the kernel pushed out already is no error
}

size_t CFlowOwnersProgram::CountFlows() const {
    uint8_t aKey[kKeyBytes], aNext[kKeyBytes];
    size_t nFlows = 0;
    for (const uint8_t* pKey = nullptr; bpf_map_get_next_key(m_hMap, pKey, aNext) == 0;
         pKey = aKey) {
        std::memcpy(aKey, aNext, sizeof aKey);
        ++nFlows;
    }
    return nFlows;
}

std::array<uint32_t, 2> CFlowOwnersProgram::GetProgramIds() const {
    std::array<uint32_t, 2> ids{};
    bpf_prog_info info;
    if (ProgramInfo(m_pSkeleton->progs.orvek_egress, info)) {
        ids[0] = info.id;
    }
    if (ProgramInfo(m_pSkeleton->progs.orvek_ingress, info)) {
        ids[1] = info.id;
    }
    return ids;
}

void CFlowOwnersProgram::GetRunStats(uint64_t& nRunNs, uint64_t& nRuns) const {
    nRunNs = nRuns = 0;
    bpf_prog_info info;
    for (const bpf_program* pProgram :
         {m_pSkeleton->progs.orvek_egress, m_pSkeleton->progs.orvek_ingress}) {
        if (ProgramInfo(pProgram, info)) {
            nRunNs += info.run_time_ns;
            nRuns += info.run_cnt;
        }
    }
}
