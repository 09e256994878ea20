// In-kernel flow owners: on the first packet of each TCP or UDP flow of a local socket, the
// socket's control group and user (and on a send from the process that sends it, its pid and
// name) are remembered by the flow, local end first, as the user-space resolver's flows are
// keyed. Attached to the cgroup v2 root, so every socket of the host passes; it never changes
// traffic (always returns 1) and costs a hash look-up per packet, an insert per new flow.

#include <linux/bpf.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#define ORVEK_TCP 6
#define ORVEK_UDP 17

// The resolver's FlowKey byte for byte: IPv4 addresses take the first four bytes, ports in host
// order, family 4 or 6.
struct flow_key {
    __u8 local[16];
    __u8 remote[16];
    __u16 local_port;
    __u16 remote_port;
    __u8 protocol;
    __u8 family;
    __u16 pad;
};

struct flow_owner {
    __u64 cookie; // the socket's: another socket on the same ends is another flow
    __u64 cgroup_id;
    __u32 uid;
    __u32 pid; // 0: not known (the first packet was received, or sent outside its process)
    char comm[16];
};

// 65536 flows, as many as the resolver keeps; preallocated by the kernel, 9 MiB (key 40
// and value 40 bytes, each element's hash and LRU nodes about 48 more, and the buckets). The
// least recently used flow makes room for a new one when full.
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, struct flow_key);
    __type(value, struct flow_owner);
} flow_owners SEC(".maps");

// Whether the sending process's name is kept: the kernel lets only holders of CAP_PERFMON (or
// CAP_SYS_ADMIN) call bpf_get_current_comm here; the loader clears it for others, and the
// verifier then skips the call as dead code.
const volatile __u8 with_comm = 1;

// Reads the packet's flow; 0 when it is not TCP or UDP, a later fragment, or IPv6 with extension
// headers (the user-space path takes those).
static __always_inline int read_flow(struct __sk_buff* skb, int local_is_source,
                                     struct flow_key* key) {
    // An IPv4 header without options and the ports in one read; IPv6's rest in a second.
    __u8 header[44];
    __u16 ports[2];
    if (bpf_skb_load_bytes(skb, 0, header, 24) != 0) {
        return 0;
    }
    if ((header[0] >> 4) == 4) {
        const __u8 protocol = header[9];
        if ((protocol != ORVEK_TCP && protocol != ORVEK_UDP) || (header[6] & 0x1F) != 0 ||
            header[7] != 0) {
            return 0;
        }
        const __u32 transport = (header[0] & 0x0F) * 4;
        if (transport == 20) {
            __builtin_memcpy(ports, header + 20, 4);
        } else if (transport < 20 || bpf_skb_load_bytes(skb, transport, ports, 4) != 0) {
            return 0;
        }
        key->family = 4;
        key->protocol = protocol;
        __builtin_memcpy(key->local, header + (local_is_source ? 12 : 16), 4);
        __builtin_memcpy(key->remote, header + (local_is_source ? 16 : 12), 4);
    } else if ((header[0] >> 4) == 6) {
        const __u8 protocol = header[6];
        if ((protocol != ORVEK_TCP && protocol != ORVEK_UDP) ||
            bpf_skb_load_bytes(skb, 24, header + 24, 20) != 0) {
            return 0;
        }
        __builtin_memcpy(ports, header + 40, 4);
        key->family = 6;
        key->protocol = protocol;
        __builtin_memcpy(key->local, header + (local_is_source ? 8 : 24), 16);
        __builtin_memcpy(key->remote, header + (local_is_source ? 24 : 8), 16);
    } else {
        return 0;
    }
    key->local_port = bpf_ntohs(ports[local_is_source ? 0 : 1]);
    key->remote_port = bpf_ntohs(ports[local_is_source ? 1 : 0]);
    return 1;
}

// The sending process, when the packet is sent in its own context: a packet sent from a softirq
// (an acknowledgement, a retransmission) runs on whatever task it interrupted, which then is not
// in the socket's group as its user.
static __always_inline void note_sender(struct flow_owner* owner) {
    if (bpf_get_current_cgroup_id() != owner->cgroup_id ||
        (__u32)bpf_get_current_uid_gid() != owner->uid) {
        return;
    }
    if (with_comm) {
        bpf_get_current_comm(owner->comm, sizeof owner->comm);
    }
    owner->pid = (__u32)(bpf_get_current_pid_tgid() >> 32);
}

static __always_inline void note_flow(struct __sk_buff* skb, int egress) {
    struct flow_key key = {};
    if (!read_flow(skb, egress, &key)) {
        return;
    }
    const __u64 cookie = bpf_get_socket_cookie(skb);
    struct flow_owner* known = bpf_map_lookup_elem(&flow_owners, &key);
    if (known && known->cookie == cookie) {
        if (egress && known->pid == 0) {
            note_sender(known);
        }
        return;
    }
    // New, or its ends taken by another socket since (a port used again, an accepted connection
    // after its listener had the request): the owner is this socket's.
    struct flow_owner owner = {};
    owner.cookie = cookie;
    owner.cgroup_id = bpf_skb_cgroup_id(skb);
    owner.uid = bpf_get_socket_uid(skb);
    if (egress) {
        note_sender(&owner);
    }
    // A new flow another CPU added meanwhile keeps its owner.
    bpf_map_update_elem(&flow_owners, &key, &owner, known ? BPF_ANY : BPF_NOEXIST);
}

SEC("cgroup_skb/egress")
int orvek_egress(struct __sk_buff* skb) {
    note_flow(skb, 1);
    return 1;
}

SEC("cgroup_skb/ingress")
int orvek_ingress(struct __sk_buff* skb) {
    note_flow(skb, 0);
    return 1;
}

char LICENSE[] SEC("license") = "Proprietary";
