#pragma once

// Who owns a flow, as a source other than the socket diagnostics tells it: the in-kernel flow
// owners (kernel/), which saw the flow's first packet and so know flows whose sockets closed
// before the resolver asked.

#include "Flow.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FlowOwner {
    uint64_t nCgroupId = 0; // the socket's control group (cgroup v2 id)
    uint32_t nUid = 0;      // the socket's owner
    uint32_t nPid = 0;      // the process that sent its first packet from its own context; 0: none
    std::string strComm;    // that process's name, when nPid is known
};

// One object may serve several meters: their resolvers call it from their own threads at once.
class IFlowOwners {
public:
    virtual ~IFlowOwners() = default;
    // The resolver's thread: the owner of a flow, or nothing when the flow was not seen.
    virtual std::optional<FlowOwner> Lookup(const FlowKey& key) const = 0;
    // The resolver's thread: flows that ended, whose owners are no longer needed.
    virtual void Forget(const std::vector<FlowKey>& keys) = 0;
};
