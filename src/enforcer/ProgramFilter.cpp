#include "enforcer/ProgramFilter.h"

#include "enforcer/FilterCompiler.h"
#include "bpf/ProgramFilter.skel.h"
#include "platform/SecureExecution.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace tarvok::enforcer {
namespace {

std::string errorText(int error) {
    return std::strerror(error < 0 ? -error : error);
}

// The cookie the kernel gives this process's network namespace.
std::uint64_t netnsCookie() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) != 0)
        cookie = 0;
    if (fd >= 0)
        ::close(fd);
    return cookie;
}

int silent(libbpf_print_level, const char*, va_list) {
    return 0;
}

} // namespace

std::string filterCgroup(std::string* reason) {
    if (const char* chosen = std::getenv("TARVOK_FILTER_CGROUP"); chosen && *chosen) {
        if (platform::secureExecution()) {
            *reason = "TARVOK_FILTER_CGROUP is not taken by a program with capabilities";
            return {};
        }
        return chosen;
    }
    FILE* mounts = ::setmntent("/proc/self/mounts", "re");
    if (!mounts) {
        *reason = "/proc/self/mounts cannot be read";
        return {};
    }
    std::string root;
    while (const mntent* entry = ::getmntent(mounts)) {
        if (std::strcmp(entry->mnt_type, "cgroup2") == 0) {
            root = entry->mnt_dir;
            break;
        }
    }
    ::endmntent(mounts);
    if (root.empty())
        *reason = "no cgroup v2 hierarchy is mounted";
    return root;
}

std::unique_ptr<ProgramFilter> ProgramFilter::open(const std::string& cgroup,
                                                   std::string* reason) {
    libbpf_set_print(silent);
    std::unique_ptr<ProgramFilter> filter(new ProgramFilter);
    filter->m_netns = netnsCookie();
    if (filter->m_netns == 0) {
        *reason = "the kernel does not name network namespaces (Linux 5.14 or later needed)";
        return nullptr;
    }
    filter->m_skeleton = program_filter__open();
    if (!filter->m_skeleton) {
        *reason = "the filter cannot be opened: " + errorText(errno);
        return nullptr;
    }
    if (const int error = program_filter__load(filter->m_skeleton); error != 0) {
        *reason = "the kernel refused the filter: " + errorText(error) +
                  (error == -EPERM ? " (CAP_BPF and CAP_PERFMON needed)" : "");
        return nullptr;
    }
    const int folder = ::open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        *reason = "the cgroup " + cgroup + " cannot be opened: " + errorText(errno);
        return nullptr;
    }
    const auto& programs = filter->m_skeleton->progs;
    for (bpf_program* program :
         {programs.connect4, programs.connect6, programs.sendmsg4, programs.sendmsg6}) {
        bpf_link* link = bpf_program__attach_cgroup(program, folder);
        if (!link) {
            *reason = "the filter cannot be attached to " + cgroup + ": " + errorText(errno);
            ::close(folder);
            return nullptr;
        }
        filter->m_links.push_back(link);
    }
    ::close(folder);
    // Nothing is decided until the first policy: the states start at MODE_PASS (zero).
    const std::uint32_t zero = 0;
    filter_control control{0, 0, filter->m_netns};
    if (bpf_map__update_elem(filter->m_skeleton->maps.control, &zero, sizeof zero, &control,
                             sizeof control, BPF_ANY) != 0) {
        *reason = "the filter's control cannot be written: " + errorText(errno);
        return nullptr;
    }
    filter->m_ring = ring_buffer__new(bpf_map__fd(filter->m_skeleton->maps.refusals), onEvent,
                                      filter.get(), nullptr);
    if (!filter->m_ring) {
        *reason = "the filter's refusals cannot be read: " + errorText(errno);
        return nullptr;
    }
    return filter;
}

ProgramFilter::~ProgramFilter() {
    for (bpf_link* link : m_links)
        bpf_link__destroy(link);
    if (m_ring)
        ring_buffer__free(m_ring);
    if (m_skeleton)
        program_filter__destroy(m_skeleton);
}

namespace {

// Writes the keys in batches of a few thousand, one system call each; one by one where the
// kernel has no batch for the map. False with errno when one could not be written.
bool writeKeys(bpf_map* map, const std::vector<filter_key>& keys,
               const std::vector<filter_value>& values) {
    constexpr std::size_t Batch = 4096;
    const int fd = bpf_map__fd(map);
    for (std::size_t first = 0; first < keys.size(); first += Batch) {
        __u32 count = static_cast<__u32>(std::min(Batch, keys.size() - first));
        if (bpf_map_update_batch(fd, &keys[first], &values[first], &count, nullptr) == 0)
            continue;
        if (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP)
            return false;
        for (std::size_t i = first; i < std::min(first + Batch, keys.size()); ++i)
            if (bpf_map_update_elem(fd, &keys[i], &values[i], BPF_ANY) != 0)
                return false;
    }
    return true;
}

// Deletes the keys that are there; keys already gone are no fault.
void deleteKeys(bpf_map* map, const std::vector<filter_key>& keys) {
    constexpr std::size_t Batch = 4096;
    const int fd = bpf_map__fd(map);
    for (std::size_t first = 0; first < keys.size(); first += Batch) {
        __u32 count = static_cast<__u32>(std::min(Batch, keys.size() - first));
        // A batch stops at the first key that is missing: the rest go one by one.
        if (bpf_map_delete_batch(fd, &keys[first], &count, nullptr) == 0)
            continue;
        for (std::size_t i = first + count; i < std::min(first + Batch, keys.size()); ++i)
            bpf_map_delete_elem(fd, &keys[i]);
    }
}

} // namespace

bool ProgramFilter::apply(const SetPolicy& policy, std::string* reason) {
    const std::uint32_t next = m_generation ^ 1;
    const FilterPolicy compiled = compileFilter(policy, static_cast<std::uint8_t>(next));
    if (compiled.entries.size() + m_keys.size() > FILTER_MAX_ENTRIES) {
        *reason = "the policy has more keys (" + std::to_string(compiled.entries.size()) +
                  ") than the program filter holds";
        return false;
    }
    bpf_map* rules = m_skeleton->maps.rules;
    std::vector<filter_key> written;
    std::vector<filter_value> values;
    written.reserve(compiled.entries.size());
    values.reserve(compiled.entries.size());
    for (const FilterEntry& entry : compiled.entries) {
        written.push_back(entry.key);
        values.push_back(entry.value);
    }
    if (!writeKeys(rules, written, values)) {
        *reason = "the program filter's keys cannot be written: " + errorText(errno);
        deleteKeys(rules, written);
        return false;
    }
    const auto undo = [&] { deleteKeys(rules, written); };
    filter_state state = compiled.state;
    state.ask_uid = m_askUid;
    filter_control control{next, 0, m_netns};
    const std::uint32_t zero = 0;
    if (bpf_map__update_elem(m_skeleton->maps.states, &next, sizeof next, &state, sizeof state,
                             BPF_ANY) != 0 ||
        bpf_map__update_elem(m_skeleton->maps.control, &zero, sizeof zero, &control,
                             sizeof control, BPF_ANY) != 0) {
        *reason = "the program filter cannot switch policies: " + errorText(errno);
        undo();
        return false;
    }
    // Calls that read the old index finish with the old keys; the next ones never see them.
    deleteKeys(rules, m_keys);
    m_keys = std::move(written);
    m_generation = next;
    return true;
}

void ProgramFilter::pass() {
    std::string ignored;
    apply(SetPolicy{Level::Allow, true, false, {}}, &ignored);
}

void ProgramFilter::stopAsking() {
    filter_state state{};
    bpf_map* states = m_skeleton->maps.states;
    if (bpf_map__lookup_elem(states, &m_generation, sizeof m_generation, &state, sizeof state, 0) ==
        0) {
        state.ask = 0;
        bpf_map__update_elem(states, &m_generation, sizeof m_generation, &state, sizeof state,
                             BPF_ANY);
    }
}

bool ProgramFilter::heldSocket(std::uint64_t cookie, filter_asking* held) const {
    return bpf_map__lookup_elem(m_skeleton->maps.asking, &cookie, sizeof cookie, held,
                                sizeof *held, 0) == 0;
}

void ProgramFilter::setAnswer(const filter_answered_key& key, bool allow) {
    const std::uint32_t value = allow ? 1 : 0;
    bpf_map__update_elem(m_skeleton->maps.answered, &key, sizeof key, &value, sizeof value,
                         BPF_ANY);
}

void ProgramFilter::forgetAnswer(const filter_answered_key& key) {
    bpf_map__delete_elem(m_skeleton->maps.answered, &key, sizeof key, 0);
}

bool ProgramFilter::answerFor(const filter_answered_key& key, bool* allow) const {
    std::uint32_t value = 0;
    if (bpf_map__lookup_elem(m_skeleton->maps.answered, &key, sizeof key, &value, sizeof value,
                             0) != 0)
        return false;
    *allow = value != 0;
    return true;
}

std::vector<filter_answered_key> ProgramFilter::answeredProcesses() const {
    std::vector<filter_answered_key> keys;
    filter_answered_key key{}, next{};
    const filter_answered_key* previous = nullptr;
    // Bounded by the map's size, however the map changes meanwhile.
    while (keys.size() < FILTER_MAX_ANSWERED &&
           bpf_map__get_next_key(m_skeleton->maps.answered, previous, &next, sizeof next) == 0) {
        keys.push_back(next);
        key = next;
        previous = &key;
    }
    return keys;
}

std::vector<SocketOwner> ProgramFilter::owners(const std::vector<std::uint64_t>& cookies) const {
    std::vector<SocketOwner> found;
    const int fd = bpf_map__fd(m_skeleton->maps.owners);
    for (const std::uint64_t cookie : cookies) {
        filter_program program{};
        if (bpf_map_lookup_elem(fd, &cookie, &program) == 0 && program.inode != 0)
            found.push_back({cookie, {statDevice(program.device), program.inode}});
    }
    return found;
}

int ProgramFilter::eventFd() const {
    return ring_buffer__epoll_fd(m_ring);
}

int ProgramFilter::onEvent(void* self, void* data, std::size_t size) {
    auto* filter = static_cast<ProgramFilter*>(self);
    if (size >= sizeof(filter_refusal) && filter->m_take) {
        filter_refusal refusal;
        std::memcpy(&refusal, data, sizeof refusal);
        (*filter->m_take)(refusal);
    }
    return 0;
}

std::uint64_t ProgramFilter::drain(const std::function<void(const filter_refusal&)>& take) {
    m_take = &take;
    ring_buffer__consume(m_ring);
    m_take = nullptr;
    const std::uint32_t zero = 0;
    std::uint64_t lost = 0;
    bpf_map__lookup_elem(m_skeleton->maps.lost, &zero, sizeof zero, &lost, sizeof lost, 0);
    return lost - std::exchange(m_lostSeen, lost);
}

} // namespace tarvok::enforcer
