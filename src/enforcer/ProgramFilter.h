#pragma once
// The program filter in the kernel: the BPF programs that decide connect() and sendmsg() of
// one network namespace, their maps, and the ring of refusals they report. Loading needs
// CAP_BPF and CAP_PERFMON (the programs read the calling task's executable file), attaching
// CAP_NET_ADMIN. Everything is released with the object: the kernel detaches the programs
// when the last link closes, so no filter outlives the enforcer that answers for it.

#include "enforcer/Protocol.h"
#include "enforcer/bpf/FilterShared.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct program_filter;
struct ring_buffer;
struct bpf_link;

namespace tarvok::enforcer {

// The cgroup v2 folder the filter attaches to: the root of the hierarchy, found in
// /proc/self/mounts. A test (never a program in secure-execution mode) may name a folder of
// its own in TARVOK_FILTER_CGROUP, so that the filter acts on its own processes only. Empty
// and the reason in *reason when there is none.
std::string filterCgroup(std::string* reason);

class ProgramFilter {
public:
    // Loads the filter and attaches it to the folder; null and the reason when it cannot.
    static std::unique_ptr<ProgramFilter> open(const std::string& cgroup, std::string* reason);
    ~ProgramFilter();
    ProgramFilter(const ProgramFilter&) = delete;
    ProgramFilter& operator=(const ProgramFilter&) = delete;

    // Puts a policy in force at once: the other generation's keys are written, then the index
    // switches to it, then the old keys go. False and the reason when the maps cannot hold it;
    // the policy in force is then unchanged.
    bool apply(const SetPolicy& policy, std::string* reason);
    // Lets everything pass, as when paused.
    void pass();

    // The user whose processes are asked about (in the initial user namespace's numbers);
    // takes effect at the next apply().
    void setAskUser(std::uint32_t uid) { m_askUid = uid; }
    // Stops asking at once, the rest of the policy in force unchanged.
    void stopAsking();
    // The program and process that connected a socket held for a question; false when the
    // filter holds no record of it.
    bool heldSocket(std::uint64_t cookie, filter_asking* held) const;
    // Remembers the answer for a process of a program (kernel device numbers), or forgets it.
    void setAnswer(const filter_answered_key& key, bool allow);
    void forgetAnswer(const filter_answered_key& key);
    // Whether a process of a program has an answer, and which.
    bool answerFor(const filter_answered_key& key, bool* allow) const;
    // Every process answered.
    std::vector<filter_answered_key> answeredProcesses() const;

    // The programs that connected these sockets, as recorded at connect() (stat's device
    // numbers); sockets the filter did not see connect are left out.
    std::vector<SocketOwner> owners(const std::vector<std::uint64_t>& cookies) const;

    // Readable when refusals wait.
    int eventFd() const;
    // Hands each waiting refusal to the callback; the count of those the ring had no room for
    // since the last call.
    std::uint64_t drain(const std::function<void(const filter_refusal&)>& take);

private:
    ProgramFilter() = default;
    static int onEvent(void* self, void* data, std::size_t size);

    program_filter* m_skeleton = nullptr;
    ring_buffer* m_ring = nullptr;
    std::vector<bpf_link*> m_links;
    std::vector<filter_key> m_keys; // of the generation in force
    std::uint32_t m_generation = 0;
    std::uint64_t m_netns = 0;
    std::uint64_t m_lostSeen = 0;
    std::uint32_t m_askUid = 0xffffffffu;
    const std::function<void(const filter_refusal&)>* m_take = nullptr;
};

} // namespace tarvok::enforcer
