// The program filter: decides every outgoing TCP connection and UDP datagram of one network
// namespace at connect() and sendmsg(), before a packet exists. A refused call fails with
// EPERM. The policy is first match over rules that may name a program (the executable file of
// the calling process), resolved by the enforcer into maps keyed by shape: the lowest rule
// number among at most eight lookups is the first match.
//
// With asking on, a call that no program rule decides and the address rules let pass is held:
// the filter sets Tarvok's bit in the socket's mark and records the socket, the ask table
// queues its first packet, and the enforcer releases it when the user answers. Other users'
// processes get the default answer at once, and a process answered before keeps its answer.
//
// Kernel structures are read through BTF (CO-RE), so this object loads on any kernel with BTF;
// only the few fields used are declared here.

#include <linux/bpf.h>
#include <linux/types.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "FilterShared.h"

#define IPPROTO_TCP 6
#define IPPROTO_UDP 17

struct super_block {
    __u32 s_dev;
} __attribute__((preserve_access_index));
struct inode {
    unsigned long i_ino;
    struct super_block* i_sb;
} __attribute__((preserve_access_index));
struct file {
    struct inode* f_inode;
} __attribute__((preserve_access_index));
struct mm_struct {
    struct file* exe_file;
} __attribute__((preserve_access_index));
struct task_struct {
    struct mm_struct* mm;
} __attribute__((preserve_access_index));

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct filter_control);
} control SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 2);
    __type(key, __u32);
    __type(value, struct filter_state);
} states SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, FILTER_MAX_ENTRIES);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct filter_key);
    __type(value, struct filter_value);
} rules SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, FILTER_MAX_OWNERS);
    __type(key, __u64);
    __type(value, struct filter_program);
} owners SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, FILTER_MAX_ASKING);
    __type(key, __u64);
    __type(value, struct filter_asking);
} asking SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, FILTER_MAX_ANSWERED);
    __type(key, struct filter_answered_key);
    __type(value, __u32);
} answered SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

#define SOL_SOCKET 1
#define SO_MARK 36

// Sets or clears Tarvok's bit in the socket's mark, keeping the others; only when it changes.
static __always_inline void set_ask_mark(struct bpf_sock_addr* ctx, struct bpf_sock* sk, int on) {
    __u32 mark = sk->mark;
    __u32 wanted = on ? (mark | FILTER_ASK_MARK) : (mark & ~FILTER_ASK_MARK);
    if (wanted != mark)
        bpf_setsockopt(ctx, SOL_SOCKET, SO_MARK, &wanted, sizeof wanted);
}

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, FILTER_EVENTS_SIZE);
} refusals SEC(".maps");

// The calling process's executable file. The task comes as a typed pointer, so the walk is
// plain loads that the kernel guards, not a helper's copy at every step; a kernel thread has
// no mm, and a NULL on the way leaves zero.
static __always_inline void current_program(struct filter_program* program) {
    struct task_struct* task = bpf_get_current_task_btf();
    struct mm_struct* mm = task->mm;
    struct file* exe = mm ? mm->exe_file : 0;
    struct inode* inode = exe ? exe->f_inode : 0;
    program->device = 0;
    program->inode = 0;
    if (inode) {
        program->device = inode->i_sb->s_dev;
        program->inode = inode->i_ino;
    }
}

// Looks up one shape and keeps the lower rule number.
static __always_inline void look(struct filter_key* key, __u8 shape, __u32 shapes,
                                 const struct filter_key* full, __u32* best, __u32* accept,
                                 __u32* best_shape) {
    if (!(shapes & (1u << shape)))
        return;
    key->shape = shape;
    key->device = (shape & SHAPE_PROGRAM) ? full->device : 0;
    key->inode = (shape & SHAPE_PROGRAM) ? full->inode : 0;
    key->port = (shape & SHAPE_PORT) ? full->port : 0;
    key->family = (shape & SHAPE_ADDRESS) ? full->family : 0;
    for (int i = 0; i < 16; ++i)
        key->address[i] = (shape & SHAPE_ADDRESS) ? full->address[i] : 0;
    struct filter_value* value = bpf_map_lookup_elem(&rules, key);
    if (value && value->rule < *best) {
        *best = value->rule;
        *accept = value->accept;
        *best_shape = shape;
    }
}

// 1 lets the call go on, 0 fails it with EPERM.
static __always_inline int decide(struct bpf_sock_addr* ctx, __u8 family, const __u32* address,
                                  int connecting) {
    __u32 zero = 0;
    struct filter_control* control_entry = bpf_map_lookup_elem(&control, &zero);
    if (!control_entry || bpf_get_netns_cookie(ctx) != control_entry->netns)
        return 1;
    __u32 generation = control_entry->generation & 1;
    struct filter_state* state = bpf_map_lookup_elem(&states, &generation);
    if (!state || state->mode == MODE_PASS)
        return 1;
    __u8 protocol = ctx->protocol;
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP)
        return 1;

    struct filter_key full = {};
    full.generation = generation;
    full.protocol = protocol;
    full.port = bpf_ntohs((__u16)ctx->user_port);
    // An IPv4 destination of an IPv6 socket is matched as IPv4, as the pass reads its row.
    if (family == 6 && address[0] == 0 && address[1] == 0 && address[2] == bpf_htonl(0xffff)) {
        family = 4;
        address += 3;
    }
    full.family = family;
    __u32* words = (__u32*)full.address;
    words[0] = address[0];
    if (family == 6) {
        words[1] = address[1];
        words[2] = address[2];
        words[3] = address[3];
    }

    // The rows the pass never cuts: local address 127.0.0.1 or ::1, now or once the kernel
    // picks it for an unbound socket (every 127.0.0.0/8 destination goes out from 127.0.0.1).
    struct bpf_sock* sk = ctx->sk;
    if (!sk)
        return 1;
    __u32 bound[4] = {0, 0, 0, 0};
    if (family == 4) {
        // A dual-stack socket holds its IPv4 address in the last word of the IPv6 one. Both
        // are read, each at a fixed offset, as the verifier allows.
        __u32 local4 = sk->src_ip4, local6 = sk->src_ip6[3];
        asm volatile("" : "+r"(local4), "+r"(local6));
        __u32 local = sk->family == 10 ? local6 : local4;
        bound[0] = local;
        __u32 target = address[0];
        if (local == bpf_htonl(0x7f000001) ||
            (local == 0 && (bpf_ntohl(target) >> 24) == 127)) {
            if (state->ask)
                set_ask_mark(ctx, sk, 0);
            return 1;
        }
    } else {
        __u32 l0 = sk->src_ip6[0], l1 = sk->src_ip6[1], l2 = sk->src_ip6[2], l3 = sk->src_ip6[3];
        bound[0] = l0;
        bound[1] = l1;
        bound[2] = l2;
        bound[3] = l3;
        int unbound = (l0 | l1 | l2 | l3) == 0;
        int local_lo = l0 == 0 && l1 == 0 && l2 == 0 && l3 == bpf_htonl(1);
        int target_lo = address[0] == 0 && address[1] == 0 && address[2] == 0 &&
                        address[3] == bpf_htonl(1);
        if (local_lo || (unbound && target_lo)) {
            if (state->ask)
                set_ask_mark(ctx, sk, 0);
            return 1;
        }
    }

    struct filter_program program;
    current_program(&program);
    if (connecting) {
        __u64 cookie = bpf_get_socket_cookie(ctx);
        bpf_map_update_elem(&owners, &cookie, &program, BPF_ANY);
    }

    __u32 best = FILTER_NO_RULE, accept = 0, best_shape = 0;
    if (state->mode == MODE_RULES) {
        full.device = program.device;
        full.inode = program.inode;
        __u32 shapes = protocol == IPPROTO_TCP ? state->tcp_shapes : state->udp_shapes;
        struct filter_key key = {};
        key.generation = generation;
        key.protocol = protocol;
        for (__u8 shape = 0; shape < 8; ++shape)
            look(&key, shape, shapes, &full, &best, &accept, &best_shape);
        __u32 ask = state->ask;
        if (ask) {
            int passes = best == FILTER_NO_RULE || accept;
            if (!passes || (best != FILTER_NO_RULE && (best_shape & SHAPE_PROGRAM))) {
                // A rule decided: no question.
                set_ask_mark(ctx, sk, 0);
            } else {
                __u32 tgid = bpf_get_current_pid_tgid() >> 32;
                struct filter_answered_key asked = {program, tgid, 0};
                __u32* answer = bpf_map_lookup_elem(&answered, &asked);
                if ((__u32)bpf_get_current_uid_gid() != state->ask_uid) {
                    // No one asks for another user's process: the default answer.
                    accept = (ask & ASK_DEFAULT_ALLOW) != 0;
                    set_ask_mark(ctx, sk, 0);
                } else if (answer) {
                    accept = *answer != 0;
                    set_ask_mark(ctx, sk, 0);
                } else {
                    __u64 cookie = bpf_get_socket_cookie(ctx);
                    struct filter_asking held = {program, tgid, 0};
                    bpf_map_update_elem(&asking, &cookie, &held, BPF_ANY);
                    set_ask_mark(ctx, sk, 1);
                    return 1;
                }
                best = FILTER_NO_RULE;
            }
        }
        if (best == FILTER_NO_RULE ? accept || !ask : accept)
            return 1;
    }

    struct filter_refusal* event = bpf_ringbuf_reserve(&refusals, sizeof(*event), 0);
    if (event) {
        event->program = program;
        event->pid = bpf_get_current_pid_tgid() >> 32;
        event->rule = best;
        event->family = family;
        event->protocol = protocol;
        event->port = full.port;
        __builtin_memcpy(event->address, full.address, 16);
        __builtin_memcpy(event->local, bound, 16);
        event->local_port = (__u16)sk->src_port;
        event->pad[0] = event->pad[1] = event->pad[2] = 0;
        bpf_ringbuf_submit(event, 0);
    } else {
        __u64* count = bpf_map_lookup_elem(&lost, &zero);
        if (count)
            __sync_fetch_and_add(count, 1);
    }
    return 0;
}

SEC("cgroup/connect4")
int connect4(struct bpf_sock_addr* ctx) {
    __u32 address = ctx->user_ip4;
    return decide(ctx, 4, &address, 1);
}

SEC("cgroup/connect6")
int connect6(struct bpf_sock_addr* ctx) {
    __u32 address[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    return decide(ctx, 6, address, 1);
}

SEC("cgroup/sendmsg4")
int sendmsg4(struct bpf_sock_addr* ctx) {
    __u32 address = ctx->user_ip4;
    return decide(ctx, 4, &address, 0);
}

SEC("cgroup/sendmsg6")
int sendmsg6(struct bpf_sock_addr* ctx) {
    __u32 address[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    return decide(ctx, 6, address, 0);
}
