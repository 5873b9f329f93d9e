#pragma once
// The program filter's map layouts, shared by the BPF object and the enforcer that fills its
// maps. Plain C with fixed-width fields, so that both compilers lay them out alike.

#include <linux/types.h>

#define FILTER_MAX_ENTRIES 262144 // rule keys of both generations
#define FILTER_MAX_OWNERS 65536   // sockets whose program is remembered
#define FILTER_EVENTS_SIZE (256 * 1024)
#define FILTER_NO_RULE 0xffffffffu
#define FILTER_MAX_ASKING 16384  // sockets held for a question
#define FILTER_MAX_ANSWERED 16384 // processes answered (program and process id)

// Tarvok's own bit in a socket's mark: set at connect() or sendmsg() while the socket's
// program is asked about, so that the ask table's one rule hands its first packets to the
// enforcer's queue. Other programs' marks keep every other bit.
#define FILTER_ASK_MARK 0x20000000u

// filter_state.ask bits.
#define ASK_ON 1            // hold what no program rule decides and the address rules pass
#define ASK_DEFAULT_ALLOW 2 // what other users' processes get at once: pass, else refuse

// Key shapes: which of program, address and port a rule names (bits); 0 is the catch-all.
#define SHAPE_PROGRAM 1
#define SHAPE_ADDRESS 2
#define SHAPE_PORT 4

// What the filter does in a generation.
#define MODE_PASS 0  // paused or the Allow level: nothing is decided
#define MODE_RULES 1 // the Normal level: first match, none lets it pass
#define MODE_BLOCK 2 // the Block level: everything but the exempt rows is refused

// The executable file as the kernel names it: its superblock's device (kernel encoding, major
// in the high 12 bits and minor in the low 20) and its inode number.
struct filter_program {
    __u64 device;
    __u64 inode;
};

struct filter_control {
    __u32 generation; // the generation in force (0 or 1)
    __u32 pad;
    __u64 netns; // the network namespace cookie the filter decides for
};

struct filter_state {
    __u32 mode;
    __u32 tcp_shapes; // bit n set: some key of shape n exists for TCP
    __u32 udp_shapes;
    __u32 ask;     // ASK_ bits; 0 unless MODE_RULES
    __u32 ask_uid; // the user whose processes are asked, as the initial user namespace names it
    __u32 pad;
};

// A socket held for a question, by its cookie: the program and the process that connected.
struct filter_asking {
    struct filter_program program;
    __u32 tgid;
    __u32 pad;
};

// A process answered: its program and process id. The value is 1 for allow, 0 for block.
struct filter_answered_key {
    struct filter_program program;
    __u32 tgid;
    __u32 pad;
};

struct filter_key {
    __u8 generation;
    __u8 protocol; // IPPROTO_TCP or IPPROTO_UDP
    __u8 shape;
    __u8 family; // 4 or 6 when the shape names an address, else 0
    __u16 port;  // host order, when the shape names a port
    __u16 pad;
    __u64 device;
    __u64 inode;
    __u8 address[16]; // IPv4 in the first four bytes, network order
};

struct filter_value {
    __u32 rule; // 0-based rule number: the lowest covering this key
    __u32 accept;
};

struct filter_refusal {
    struct filter_program program;
    __u32 pid;
    __u32 rule; // FILTER_NO_RULE when the level refused
    __u8 family;
    __u8 protocol;
    __u16 port;       // host order
    __u8 address[16]; // the destination asked for
    __u8 local[16];   // the address the socket is bound to, zero when unbound
    __u16 local_port; // host order, 0 when unbound
    __u16 pad[3];
};
