#pragma once
// What the window and the enforcer say to each other over their stream socket: records of a
// fixed binary layout, each a 4-byte length (of what follows it), a version, a type and a
// sequence number, then the type's fields. Nothing in a record is text the enforcer acts on: a
// rule is an address, a port, an action and a program file's device and inode numbers (the
// window resolves a rule's path), never a script, a path or a word.
//
// The decoder checks every field and every length; a record it does not accept as a whole is
// answered with an error by the enforcer and changes nothing. All numbers are little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarvok::enforcer {

constexpr std::uint16_t ProtocolVersion = 3;
constexpr std::size_t HeaderSize = 12; // length, version, type, sequence
// The largest policy a record may carry; a larger one is refused whole.
constexpr std::uint32_t MaxRules = 1u << 20;
constexpr std::size_t RuleSize = 40;
// Texts the enforcer sends (a kernel's or library's reason) are cut to this many bytes.
constexpr std::size_t MaxTextSize = 1024;
constexpr std::size_t MaxRecordSize = HeaderSize + 8 + std::size_t{MaxRules} * RuleSize;

enum class Type : std::uint16_t {
    // The window's requests.
    Hello = 1,     // first record of a fresh start
    SetPolicy = 2, // replace the table
    Cut = 3,       // destroy one socket
    Goodbye = 4,   // orderly end: drain the refusals, remove the table, exit
    // Only on the rendezvous socket of an enforcer whose window ended unexpectedly:
    Status = 5, // what is in force, since when
    Adopt = 6,  // a new window takes the enforcer over, its table still in force
    Owners = 7, // the programs that opened these sockets, as the program filter saw them
    Answer = 8, // the user's answer for a program asked about (no answer record)
    // The enforcer's answers (same sequence as the request) and reports (sequence 0).
    HelloAnswer = 100,
    Done = 101,      // a SetPolicy or Goodbye answer: error 0 or an errno value, and a reason
    CutAnswer = 102, // 0 or an errno value
    Refusal = 103,   // the kernel table refused a connection
    Lost = 104,      // refusals the kernel could not deliver
    Error = 105,     // the request was not accepted; nothing changed
    StatusAnswer = 106,
    OwnersAnswer = 107,
    Question = 108,     // a program is held at its first connection
    QuestionGone = 109, // every connection held for a program has closed
};

enum class Level : std::uint8_t { Allow = 0, Normal = 1, Block = 2 };

// The family of a rule's address; Any for the any-address word.
enum class RuleFamily : std::uint8_t { Any = 0, V4 = 4, V6 = 6 };

using Address = std::array<std::uint8_t, 16>; // IPv4 in the first four bytes, network order

// The transport protocols a rule covers, as bits.
enum RuleProtocol : std::uint8_t { ProtoTcp = 1, ProtoUdp = 2, ProtoBoth = ProtoTcp | ProtoUdp };

// An executable file as stat names it (st_dev, st_ino).
struct ProgramFile {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const ProgramFile&) const = default;
};

struct TypedRule {
    RuleFamily family = RuleFamily::Any;
    Address address{};
    bool anyPort = true;
    std::uint16_t port = 0;
    bool accept = false;
    bool enabled = true;
    std::uint8_t protocols = ProtoTcp; // RuleProtocol bits, never 0
    // Whether the rule covers only the connections of the processes that run one file.
    bool namesProgram = false;
    ProgramFile program{}; // zero unless namesProgram; the inode is never 0 then
    bool operator==(const TypedRule&) const = default;
};

// The window's first record. instance names the table together with the user id: the window
// derives it from its program folder, so that two instances never share a table.
struct Hello {
    std::uint64_t instance = 0;
    bool operator==(const Hello&) const = default;
};

struct SetPolicy {
    Level level = Level::Normal;
    bool paused = false;
    // What stays in force when the window ends without a goodbye: this policy, or nothing.
    bool allowAllOnCrash = false;
    std::vector<TypedRule> rules;
    // Whether a connection that no program rule decides (and the address rules let pass) is
    // held and its program asked, and the answer given when no one can be asked.
    bool ask = false;
    bool askDefaultAllow = false;
    bool operator==(const SetPolicy&) const = default;
};

// One socket, named as the table read gave it: the family its row was read in (as
// platform::Family: 0 IPv4, 1 an IPv4 connection of a dual-stack socket, 2 IPv6), its four
// endpoint fields (IPv4 in the first four bytes) and the interface it is bound to.
struct Cut {
    std::uint8_t family = 0;
    std::uint8_t protocol = 6; // IPPROTO_TCP, or IPPROTO_UDP for a connected UDP socket
    Address local{}, remote{};
    std::uint16_t localPort = 0, remotePort = 0;
    std::uint32_t interfaceIndex = 0;
    bool operator==(const Cut&) const = default;
};

struct Goodbye {
    bool operator==(const Goodbye&) const = default;
};

struct Status {
    bool operator==(const Status&) const = default;
};

// Answered with a HelloAnswer; from then on the new window is the enforcer's peer.
struct Adopt {
    bool operator==(const Adopt&) const = default;
};

// What the enforcer found it can do at its start: bits of Ability. Without CanCut,
// NoSocketDestroy tells a kernel built without socket destroy from a missing capability.
// FilterInForce: the program filter decides outgoing connections at connect() and sendmsg();
// without it, filterReason says why. CanAsk: connections can be held for a question (the
// filter, a queue and the ask table); without it a policy's ask switch holds nothing.
enum Ability : std::uint32_t { CanCut = 2, NoSocketDestroy = 4, FilterInForce = 8, CanAsk = 16 };

// Sockets named by their cookie, at most MaxOwnerCookies of them.
constexpr std::size_t MaxOwnerCookies = 4096;
struct Owners {
    std::vector<std::uint64_t> cookies;
    bool operator==(const Owners&) const = default;
};

// The sockets of an Owners request whose connecting program the filter recorded (the others,
// such as accepted sockets or those older than the filter, are left out), in stat's terms.
struct SocketOwner {
    std::uint64_t cookie = 0;
    ProgramFile program{};
    bool operator==(const SocketOwner&) const = default;
};
struct OwnersAnswer {
    std::vector<SocketOwner> owners;
    bool operator==(const OwnersAnswer&) const = default;
};

// A connection held at its first packet: asking is on, no rule that names a program decides
// it, and the address rules let it pass. The enforcer asks once per program (executable file)
// until that program is answered or every connection it holds for it has gone; further first
// packets of the program wait meanwhile. pid is the process whose connection came first.
struct Question {
    ProgramFile program{};
    std::uint32_t pid = 0;
    std::uint8_t family = 4;   // 4 or 6
    std::uint8_t protocol = 6; // IPPROTO_TCP or IPPROTO_UDP
    Address remote{};
    std::uint16_t remotePort = 0;
    bool operator==(const Question&) const = default;
};

// The window's answer for a program: every connection of it held now is released (allow) or
// dropped and its socket cut; the processes that were held keep that answer until they exit.
struct Answer {
    ProgramFile program{};
    bool allow = false;
    bool operator==(const Answer&) const = default;
};

// Every connection held for a program was closed before an answer came.
struct QuestionGone {
    ProgramFile program{};
    bool operator==(const QuestionGone&) const = default;
};

struct HelloAnswer {
    std::uint32_t abilities = 0;
    std::uint16_t logGroup = 0; // 0 when refusals cannot be read
    std::string tableName;      // the nftables table this enforcer owns
    std::string filterReason{}; // why there is no program filter; empty with one
    bool operator==(const HelloAnswer&) const = default;
};

struct Done {
    std::int32_t error = 0;
    std::string reason;
    bool operator==(const Done&) const = default;
};

struct CutAnswer {
    std::int32_t error = 0;
    bool operator==(const CutAnswer&) const = default;
};

// A connection the kernel table or the program filter refused, in the form of the row the pass
// would have cut: the remote end is the destination of an outgoing connection and the source
// of an incoming one. The filter refuses before a local end exists (local is zero then) and
// names the calling process and its file.
struct Refusal {
    std::uint8_t family = 0; // as Cut's
    bool incoming = false;
    std::uint8_t protocol = 6; // IPPROTO_TCP or IPPROTO_UDP
    Address local{}, remote{};
    std::uint16_t localPort = 0, remotePort = 0;
    std::uint32_t pid = 0; // the filter's refusals only
    ProgramFile program{};
    bool operator==(const Refusal&) const = default;
};

struct Lost {
    std::uint32_t count = 0;
    bool operator==(const Lost&) const = default;
};

struct Error {
    std::string reason;
    bool operator==(const Error&) const = default;
};

// What an enforcer whose window ended keeps in force.
struct StatusAnswer {
    std::int64_t windowGoneAt = 0; // seconds since the epoch
    Level level = Level::Normal;
    bool paused = false;
    std::uint32_t rules = 0;
    bool operator==(const StatusAnswer&) const = default;
};

using Body = std::variant<Hello, SetPolicy, Cut, Goodbye, Status, Adopt, HelloAnswer, Done,
                          CutAnswer, Refusal, Lost, Error, StatusAnswer, Owners, OwnersAnswer,
                          Answer, Question, QuestionGone>;

struct Record {
    std::uint32_t sequence = 0;
    Body body;
    bool operator==(const Record&) const = default;
};

// The record's bytes, length prefix included. Texts longer than MaxTextSize are cut.
std::vector<std::uint8_t> encode(const Record& record);

// Takes whole records off the front of a byte stream as they arrive.
class Reader {
public:
    enum class Status { NeedMore, Ready, Invalid, Broken };
    void feed(const std::uint8_t* data, std::size_t size);
    // Ready with the next record in *record; NeedMore until one is whole; Invalid when a whole
    // record is not well formed (error() says why; it is skipped, and the next call goes on
    // after it); Broken when a length is out of range, so that the stream cannot be followed.
    Status next(Record* record);
    const std::string& error() const { return m_error; }
    // The sequence number of the record last taken, valid or not (0 when Broken).
    std::uint32_t sequence() const { return m_sequence; }
    std::size_t buffered() const { return m_buffer.size() - m_start; }

private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::string m_error;
    std::uint32_t m_sequence = 0;
    bool m_broken = false;
};

// Decodes one whole record (length prefix included); the reason in *error when it is refused.
std::optional<Record> decode(const std::uint8_t* data, std::size_t size, std::string* error);

} // namespace tarvok::enforcer
