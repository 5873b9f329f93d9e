#include "enforcer/Protocol.h"

#include <algorithm>
#include <cstring>

namespace tarvok::enforcer {
namespace {

constexpr std::size_t AddressSize = 16;
constexpr std::size_t CutSize = 4 + 2 * AddressSize + 4 + 4;
constexpr std::size_t RefusalSize = 4 + 2 * AddressSize + 4 + 4 + 16;
enum RuleFlag : std::uint8_t { Enabled = 1, Accept = 2, AnyPort = 4, NamesProgram = 8 };

class Writer {
public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u16(std::uint16_t value) {
        u8(static_cast<std::uint8_t>(value));
        u8(static_cast<std::uint8_t>(value >> 8));
    }
    void u32(std::uint32_t value) {
        u16(static_cast<std::uint16_t>(value));
        u16(static_cast<std::uint16_t>(value >> 16));
    }
    void u64(std::uint64_t value) {
        u32(static_cast<std::uint32_t>(value));
        u32(static_cast<std::uint32_t>(value >> 32));
    }
    void program(const ProgramFile& program) {
        u64(program.device);
        u64(program.inode);
    }
    void address(const Address& address) {
        m_bytes.insert(m_bytes.end(), address.begin(), address.end());
    }
    void text(const std::string& text) {
        const std::size_t size = std::min(text.size(), MaxTextSize);
        u16(static_cast<std::uint16_t>(size));
        m_bytes.insert(m_bytes.end(), text.begin(), text.begin() + static_cast<long>(size));
    }
    std::vector<std::uint8_t>& bytes() { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads fields off a record's body; any read past its end marks the reader failed.
class Fields {
public:
    Fields(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t u8() {
        if (!take(1))
            return 0;
        return m_data[m_at - 1];
    }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | (static_cast<std::uint64_t>(u32()) << 32);
    }
    ProgramFile program() {
        ProgramFile program;
        program.device = u64();
        program.inode = u64();
        return program;
    }
    Address address() {
        Address address{};
        if (take(AddressSize))
            std::memcpy(address.data(), m_data + m_at - AddressSize, AddressSize);
        return address;
    }
    std::string text() {
        const std::size_t size = u16();
        if (size > MaxTextSize || !take(size))
            return fail(), std::string();
        return std::string(reinterpret_cast<const char*>(m_data + m_at - size), size);
    }
    std::size_t left() const { return m_size - m_at; }
    bool ok() const { return m_ok; }
    void fail() { m_ok = false; }

private:
    bool take(std::size_t count) {
        if (!m_ok || m_size - m_at < count)
            return m_ok = false;
        m_at += count;
        return true;
    }
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
    bool m_ok = true;
};

bool zeroFrom(const Address& address, std::size_t from) {
    return std::all_of(address.begin() + static_cast<long>(from), address.end(),
                       [](std::uint8_t byte) { return byte == 0; });
}

// A socket's family as the tables give it, and its addresses: IPv4 ones leave 12 bytes zero.
bool validSocketAddresses(std::uint8_t family, const Address& local, const Address& remote) {
    if (family > 2)
        return false;
    return family == 2 || (zeroFrom(local, 4) && zeroFrom(remote, 4));
}

void writeRule(Writer& out, const TypedRule& rule) {
    out.u8(static_cast<std::uint8_t>(rule.family));
    out.u8(static_cast<std::uint8_t>((rule.enabled ? Enabled : 0) | (rule.accept ? Accept : 0) |
                                     (rule.anyPort ? AnyPort : 0) |
                                     (rule.namesProgram ? NamesProgram : 0)));
    out.u16(rule.anyPort ? 0 : rule.port);
    out.address(rule.address);
    out.u8(rule.protocols);
    out.u8(0);
    out.u16(0);
    out.program(rule.namesProgram ? rule.program : ProgramFile{});
}

std::optional<TypedRule> readRule(Fields& in, std::string* error) {
    TypedRule rule;
    const std::uint8_t family = in.u8(), flags = in.u8();
    rule.port = in.u16();
    rule.address = in.address();
    const std::uint8_t protocols = in.u8(), pad = in.u8();
    const std::uint16_t pad2 = in.u16();
    rule.program = in.program();
    rule.namesProgram = flags & NamesProgram;
    rule.enabled = flags & Enabled;
    rule.accept = flags & Accept;
    rule.anyPort = flags & AnyPort;
    rule.family = static_cast<RuleFamily>(family);
    rule.protocols = protocols;
    const char* wrong = nullptr;
    if (family != 0 && family != 4 && family != 6)
        wrong = "a rule's address family is unknown";
    else if (flags & ~(Enabled | Accept | AnyPort | NamesProgram))
        wrong = "a rule has unknown flags";
    else if (rule.anyPort && rule.port != 0)
        wrong = "a rule for any port names a port";
    else if ((family == 0 && !zeroFrom(rule.address, 0)) ||
             (family == 4 && !zeroFrom(rule.address, 4)))
        wrong = "a rule's address has bytes its family does not use";
    else if (protocols == 0 || (protocols & ~ProtoBoth) != 0)
        wrong = "a rule's protocols are not supported";
    else if (pad != 0 || pad2 != 0)
        wrong = "a rule's reserved bytes are not zero";
    else if (rule.namesProgram ? rule.program.inode == 0 : rule.program != ProgramFile{})
        wrong = "a rule's program file is not valid";
    if (wrong) {
        *error = wrong;
        return std::nullopt;
    }
    return rule;
}

void writeSocket(Writer& out, const Address& local, std::uint16_t localPort,
                 const Address& remote, std::uint16_t remotePort) {
    out.address(local);
    out.u16(localPort);
    out.address(remote);
    out.u16(remotePort);
}

struct Encoder {
    Writer& out;
    void operator()(const Hello& hello) const {
        out.u32(static_cast<std::uint32_t>(hello.instance));
        out.u32(static_cast<std::uint32_t>(hello.instance >> 32));
    }
    void operator()(const SetPolicy& policy) const {
        out.u8(static_cast<std::uint8_t>(policy.level));
        out.u8(policy.paused ? 1 : 0);
        out.u8(policy.allowAllOnCrash ? 1 : 0);
        out.u8(policy.ask ? 1 : 0);
        out.u8(policy.askDefaultAllow ? 1 : 0);
        out.u8(0);
        out.u16(0);
        out.u32(static_cast<std::uint32_t>(policy.rules.size()));
        for (const TypedRule& rule : policy.rules)
            writeRule(out, rule);
    }
    void operator()(const Cut& cut) const {
        out.u8(cut.family);
        out.u8(cut.protocol);
        out.u16(0);
        writeSocket(out, cut.local, cut.localPort, cut.remote, cut.remotePort);
        out.u32(cut.interfaceIndex);
    }
    void operator()(const Goodbye&) const {}
    void operator()(const Status&) const {}
    void operator()(const Adopt&) const {}
    void operator()(const StatusAnswer& answer) const {
        const auto at = static_cast<std::uint64_t>(answer.windowGoneAt);
        out.u32(static_cast<std::uint32_t>(at));
        out.u32(static_cast<std::uint32_t>(at >> 32));
        out.u8(static_cast<std::uint8_t>(answer.level));
        out.u8(answer.paused ? 1 : 0);
        out.u16(0);
        out.u32(answer.rules);
    }
    void operator()(const HelloAnswer& answer) const {
        out.u32(answer.abilities);
        out.u16(answer.logGroup);
        out.text(answer.tableName);
        out.text(answer.filterReason);
    }
    void operator()(const Done& done) const {
        out.u32(static_cast<std::uint32_t>(done.error));
        out.text(done.reason);
    }
    void operator()(const CutAnswer& answer) const {
        out.u32(static_cast<std::uint32_t>(answer.error));
    }
    void operator()(const Refusal& refusal) const {
        out.u8(refusal.family);
        out.u8(refusal.incoming ? 1 : 0);
        out.u8(refusal.protocol);
        out.u8(0);
        writeSocket(out, refusal.local, refusal.localPort, refusal.remote, refusal.remotePort);
        out.u32(refusal.pid);
        out.program(refusal.program);
    }
    void operator()(const Lost& lost) const { out.u32(lost.count); }
    void operator()(const Owners& owners) const {
        out.u32(static_cast<std::uint32_t>(owners.cookies.size()));
        for (const std::uint64_t cookie : owners.cookies)
            out.u64(cookie);
    }
    void operator()(const OwnersAnswer& answer) const {
        out.u32(static_cast<std::uint32_t>(answer.owners.size()));
        for (const SocketOwner& owner : answer.owners) {
            out.u64(owner.cookie);
            out.program(owner.program);
        }
    }
    void operator()(const Error& error) const { out.text(error.reason); }
    void operator()(const Answer& answer) const {
        out.program(answer.program);
        out.u8(answer.allow ? 1 : 0);
        out.u8(0);
        out.u16(0);
    }
    void operator()(const Question& question) const {
        out.program(question.program);
        out.u32(question.pid);
        out.u8(question.family);
        out.u8(question.protocol);
        out.u16(question.remotePort);
        out.address(question.remote);
    }
    void operator()(const QuestionGone& gone) const { out.program(gone.program); }
};

constexpr Type typeOf(std::size_t index) {
    // In the order of Body's alternatives.
    constexpr Type types[] = {Type::Hello,     Type::SetPolicy, Type::Cut,         Type::Goodbye,
                              Type::Status,    Type::Adopt,     Type::HelloAnswer, Type::Done,
                              Type::CutAnswer, Type::Refusal,   Type::Lost,        Type::Error,
                              Type::StatusAnswer, Type::Owners, Type::OwnersAnswer,
                              Type::Answer, Type::Question, Type::QuestionGone};
    return types[index];
}

std::optional<Body> decodeBody(Type type, Fields& in, std::string* error) {
    const auto wrong = [&](const char* reason) -> std::optional<Body> {
        *error = reason;
        return std::nullopt;
    };
    switch (type) {
    case Type::Hello: {
        Hello hello;
        hello.instance = in.u32();
        hello.instance |= std::uint64_t{in.u32()} << 32;
        return hello;
    }
    case Type::Goodbye:
        return Goodbye{};
    case Type::Status:
        return Status{};
    case Type::Adopt:
        return Adopt{};
    case Type::StatusAnswer: {
        StatusAnswer answer;
        std::uint64_t at = in.u32();
        at |= std::uint64_t{in.u32()} << 32;
        answer.windowGoneAt = static_cast<std::int64_t>(at);
        const std::uint8_t level = in.u8(), paused = in.u8();
        const std::uint16_t pad = in.u16();
        answer.rules = in.u32();
        if (in.ok() && (level > 2 || paused > 1 || pad != 0))
            return wrong("a status answer's fields are not valid");
        answer.level = static_cast<Level>(level);
        answer.paused = paused == 1;
        return answer;
    }
    case Type::SetPolicy: {
        SetPolicy policy;
        const std::uint8_t level = in.u8(), paused = in.u8(), allowAll = in.u8(), ask = in.u8(),
                           askDefault = in.u8(), pad = in.u8();
        const std::uint16_t pad2 = in.u16();
        const std::uint32_t count = in.u32();
        if (!in.ok())
            return wrong("a policy record is too short");
        if (level > 2 || paused > 1 || allowAll > 1 || ask > 1 || askDefault > 1 || pad != 0 ||
            pad2 != 0)
            return wrong("a policy's level or switches are not valid");
        if (count > MaxRules || in.left() != std::size_t{count} * RuleSize)
            return wrong("a policy's rule count does not match its length");
        policy.level = static_cast<Level>(level);
        policy.paused = paused == 1;
        policy.allowAllOnCrash = allowAll == 1;
        policy.ask = ask == 1;
        policy.askDefaultAllow = askDefault == 1;
        policy.rules.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::optional<TypedRule> rule = readRule(in, error);
            if (!rule)
                return std::nullopt;
            policy.rules.push_back(*rule);
        }
        return policy;
    }
    case Type::Cut: {
        Cut cut;
        cut.family = in.u8();
        cut.protocol = in.u8();
        const std::uint16_t pad = in.u16();
        cut.local = in.address();
        cut.localPort = in.u16();
        cut.remote = in.address();
        cut.remotePort = in.u16();
        cut.interfaceIndex = in.u32();
        if (!in.ok() || in.left() != 0)
            return wrong("a cut record has the wrong length");
        if (!validSocketAddresses(cut.family, cut.local, cut.remote) || pad != 0)
            return wrong("a cut's family or addresses are not valid");
        if (cut.protocol != 6 && cut.protocol != 17)
            return wrong("a cut names a protocol other than TCP and UDP");
        if (cut.localPort == 0 || cut.remotePort == 0)
            return wrong("a cut names port 0");
        return cut;
    }
    case Type::HelloAnswer: {
        HelloAnswer answer;
        answer.abilities = in.u32();
        answer.logGroup = in.u16();
        answer.tableName = in.text();
        answer.filterReason = in.text();
        return answer;
    }
    case Type::Done: {
        Done done;
        done.error = static_cast<std::int32_t>(in.u32());
        done.reason = in.text();
        return done;
    }
    case Type::CutAnswer:
        return CutAnswer{static_cast<std::int32_t>(in.u32())};
    case Type::Refusal: {
        Refusal refusal;
        refusal.family = in.u8();
        const std::uint8_t incoming = in.u8();
        refusal.protocol = in.u8();
        const std::uint8_t pad = in.u8();
        refusal.local = in.address();
        refusal.localPort = in.u16();
        refusal.remote = in.address();
        refusal.remotePort = in.u16();
        refusal.pid = in.u32();
        refusal.program = in.program();
        refusal.incoming = incoming == 1;
        if (in.ok() && (incoming > 1 || pad != 0 ||
                        (refusal.protocol != 6 && refusal.protocol != 17) ||
                        !validSocketAddresses(refusal.family, refusal.local, refusal.remote)))
            return wrong("a refusal's fields are not valid");
        return refusal;
    }
    case Type::Lost:
        return Lost{in.u32()};
    case Type::Owners: {
        const std::uint32_t count = in.u32();
        if (count > MaxOwnerCookies || in.left() != std::size_t{count} * 8)
            return wrong("an owners request's count is out of range");
        Owners owners;
        owners.cookies.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i)
            owners.cookies.push_back(in.u64());
        return owners;
    }
    case Type::OwnersAnswer: {
        const std::uint32_t count = in.u32();
        if (count > MaxOwnerCookies || in.left() != std::size_t{count} * 24)
            return wrong("an owners answer's count is out of range");
        OwnersAnswer answer;
        answer.owners.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            SocketOwner owner;
            owner.cookie = in.u64();
            owner.program = in.program();
            if (owner.program.inode == 0)
                return wrong("an owner's file is not valid");
            answer.owners.push_back(owner);
        }
        return answer;
    }
    case Type::Error:
        return Error{in.text()};
    case Type::Answer: {
        Answer answer;
        answer.program = in.program();
        const std::uint8_t allow = in.u8(), pad = in.u8();
        const std::uint16_t pad2 = in.u16();
        if (in.ok() && (answer.program.inode == 0 || allow > 1 || pad != 0 || pad2 != 0))
            return wrong("an answer's fields are not valid");
        answer.allow = allow == 1;
        return answer;
    }
    case Type::Question: {
        Question question;
        question.program = in.program();
        question.pid = in.u32();
        question.family = in.u8();
        question.protocol = in.u8();
        question.remotePort = in.u16();
        question.remote = in.address();
        if (in.ok() && (question.program.inode == 0 || question.pid == 0 ||
                        (question.family != 4 && question.family != 6) ||
                        (question.protocol != 6 && question.protocol != 17) ||
                        (question.family == 4 && !zeroFrom(question.remote, 4))))
            return wrong("a question's fields are not valid");
        return question;
    }
    case Type::QuestionGone: {
        QuestionGone gone{in.program()};
        if (in.ok() && gone.program.inode == 0)
            return wrong("a question's program is not valid");
        return gone;
    }
    }
    return wrong("the record's type is unknown");
}

} // namespace

std::vector<std::uint8_t> encode(const Record& record) {
    Writer out;
    out.u32(0); // the length, filled in below
    out.u16(ProtocolVersion);
    out.u16(static_cast<std::uint16_t>(typeOf(record.body.index())));
    out.u32(record.sequence);
    std::visit(Encoder{out}, record.body);
    std::vector<std::uint8_t>& bytes = out.bytes();
    const std::uint32_t length = static_cast<std::uint32_t>(bytes.size() - 4);
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    return std::move(bytes);
}

std::optional<Record> decode(const std::uint8_t* data, std::size_t size, std::string* error) {
    std::string ignored;
    if (!error)
        error = &ignored;
    Fields header(data, size);
    const std::uint32_t length = header.u32();
    const std::uint16_t version = header.u16();
    const std::uint16_t type = header.u16();
    Record record;
    record.sequence = header.u32();
    if (!header.ok() || std::size_t{length} + 4 != size) {
        *error = "the record's length is wrong";
        return std::nullopt;
    }
    if (version != ProtocolVersion) {
        *error = "the record's protocol version is not " + std::to_string(ProtocolVersion);
        return std::nullopt;
    }
    Fields body(data + HeaderSize, size - HeaderSize);
    std::optional<Body> decoded = decodeBody(static_cast<Type>(type), body, error);
    if (!decoded)
        return std::nullopt;
    if (!body.ok() || body.left() != 0) {
        *error = "the record's fields do not fill its length";
        return std::nullopt;
    }
    record.body = std::move(*decoded);
    return record;
}

void Reader::feed(const std::uint8_t* data, std::size_t size) {
    if (m_broken)
        return;
    // Drop what has been taken before the buffer grows again.
    if (m_start > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<long>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

Reader::Status Reader::next(Record* record) {
    if (m_broken)
        return Status::Broken;
    const std::size_t available = m_buffer.size() - m_start;
    if (available < 4)
        return Status::NeedMore;
    const std::uint8_t* at = m_buffer.data() + m_start;
    const std::uint32_t length = at[0] | (at[1] << 8) | (at[2] << 16) |
                                 (static_cast<std::uint32_t>(at[3]) << 24);
    // A length no record can have is refused before anything that large is waited for; the
    // stream cannot be followed past it.
    if (length < HeaderSize - 4 || length > MaxRecordSize - 4) {
        m_error = "the record's length is out of range";
        m_sequence = 0;
        m_broken = true;
        return Status::Broken;
    }
    if (available - 4 < length)
        return Status::NeedMore;
    m_sequence = at[8] | (at[9] << 8) | (at[10] << 16) | (static_cast<std::uint32_t>(at[11]) << 24);
    std::optional<Record> decoded = decode(at, std::size_t{length} + 4, &m_error);
    m_start += std::size_t{length} + 4;
    if (!decoded)
        return Status::Invalid;
    *record = std::move(*decoded);
    return Status::Ready;
}

} // namespace tarvok::enforcer
