// The enforcer's records: what the window sends comes back the same, and every record that is
// not well formed in some field is refused whole.

#include "enforcer/Protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace tarvok::enforcer {
namespace {

Address v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {a, b, c, d};
}

SetPolicy samplePolicy() {
    SetPolicy policy;
    policy.level = Level::Block;
    policy.paused = true;
    policy.ask = true;
    policy.rules = {{RuleFamily::V4, v4(127, 0, 0, 2), false, 80, true, true, ProtoTcp},
                    {RuleFamily::Any, {}, true, 0, false, false, ProtoUdp},
                    {RuleFamily::V6, {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
                     true, 0, false, true, ProtoBoth},
                    {RuleFamily::Any, {}, true, 0, false, true, ProtoBoth, true, {0x801, 1234567}}};
    return policy;
}

TEST(EnforcerProtocol, EveryRecordComesBackAsItWasSent) {
    const std::vector<Body> bodies = {
        Hello{0x0123456789abcdefull},
        samplePolicy(),
        Cut{1, 6, v4(127, 0, 0, 3), v4(127, 0, 0, 2), 40000, 80, 7},
        Cut{2, 17, {1}, {2}, 40000, 443, 0},
        Goodbye{},
        Status{},
        Adopt{},
        StatusAnswer{1765000000, Level::Block, true, 20001},
        HelloAnswer{CanCut, 29815, "tarvok_1000_00000000000000ab", {}},
        HelloAnswer{CanCut | FilterInForce, 0, "t", "no cgroup v2 hierarchy is mounted"},
        Done{1, "Operation not permitted"},
        CutAnswer{2},
        Refusal{2, true, 6, {1}, {2}, 443, 50000, 0, {}},
        Refusal{0, false, 6, {}, v4(127, 0, 0, 2), 0, 443, 4321, {0x801, 99}},
        Refusal{0, false, 17, v4(127, 0, 0, 5), v4(127, 0, 0, 2), 50000, 443},
        Lost{17},
        Error{"no"},
        Owners{{1, 2, 0xffffffffffffull}},
        OwnersAnswer{{{7, {0x801, 99}}, {8, {0, 5}}}},
        OwnersAnswer{},
        Answer{{0x801, 99}, true},
        Answer{{0, 5}, false},
        Question{{0x801, 99}, 4321, 4, 6, v4(127, 0, 0, 2), 443},
        Question{{0x801, 99}, 1, 6, 17, {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 53},
        QuestionGone{{0x801, 99}}};
    for (const Body& body : bodies) {
        const Record sent{42, body};
        const std::vector<std::uint8_t> bytes = encode(sent);
        std::string error;
        const std::optional<Record> received = decode(bytes.data(), bytes.size(), &error);
        ASSERT_TRUE(received) << body.index() << ": " << error;
        EXPECT_EQ(*received, sent) << body.index();
    }
}

TEST(EnforcerProtocol, RefusesEveryRecordWithAFieldOutOfItsRange) {
    const std::vector<std::uint8_t> policy = encode({1, samplePolicy()});
    const std::vector<std::uint8_t> cut =
        encode({1, Cut{0, 6, v4(127, 0, 0, 3), v4(127, 0, 0, 2), 40000, 80, 0}});
    const std::vector<std::uint8_t> owners = encode({1, OwnersAnswer{{{7, {0x801, 99}}}}});
    const std::vector<std::uint8_t> refusal =
        encode({0, Refusal{0, false, 17, v4(127, 0, 0, 5), v4(127, 0, 0, 2), 50000, 443}});
    const std::vector<std::uint8_t> answer = encode({1, Answer{{0x801, 99}, true}});
    const std::vector<std::uint8_t> question =
        encode({0, Question{{0x801, 99}, 4321, 4, 6, v4(127, 0, 0, 2), 443}});
    const std::vector<std::uint8_t> gone = encode({0, QuestionGone{{0x801, 99}}});
    constexpr std::size_t Body = HeaderSize, Rule0 = HeaderSize + 12;
    struct Case {
        const char* what;
        const std::vector<std::uint8_t>& base;
        std::function<void(std::vector<std::uint8_t>&)> spoil;
    };
    const Case cases[] = {
        {"an older version", policy, [](auto& b) { b[4] = 1; }},
        {"unknown type", policy, [](auto& b) { b[6] = 77; }},
        {"level", policy, [](auto& b) { b[Body] = 3; }},
        {"pause switch", policy, [](auto& b) { b[Body + 1] = 2; }},
        {"allow-all switch", policy, [](auto& b) { b[Body + 2] = 2; }},
        {"ask switch", policy, [](auto& b) { b[Body + 3] = 2; }},
        {"ask default switch", policy, [](auto& b) { b[Body + 4] = 2; }},
        {"policy reserved", policy, [](auto& b) { b[Body + 7] = 1; }},
        {"rule count", policy, [](auto& b) { b[Body + 8] = 5; }},
        {"length", policy, [](auto& b) { b.pop_back(); b[0] -= 1; }},
        {"family", policy, [](auto& b) { b[Rule0] = 5; }},
        {"flags", policy, [](auto& b) { b[Rule0 + 1] |= 16; }},
        {"program on a rule naming none", policy, [](auto& b) { b[Rule0 + 24 + 8] = 1; }},
        {"program without an inode", policy, [](auto& b) { b[Rule0 + 1] |= 8; }},
        {"any port with a port", policy, [](auto& b) { b[Rule0 + RuleSize + 2] = 80; }},
        {"IPv4 address tail", policy, [](auto& b) { b[Rule0 + 4 + 4] = 1; }},
        {"any address with bytes", policy, [](auto& b) { b[Rule0 + RuleSize + 4] = 1; }},
        {"no protocol", policy, [](auto& b) { b[Rule0 + 20] = 0; }},
        {"unknown protocol bit", policy, [](auto& b) { b[Rule0 + 20] = 4 | ProtoTcp; }},
        {"refusal protocol", refusal, [](auto& b) { b[Body + 2] = 1; }},
        {"refusal reserved", refusal, [](auto& b) { b[Body + 3] = 1; }},
        {"reserved", policy, [](auto& b) { b[Rule0 + 23] = 1; }},
        {"owners count", owners, [](auto& b) { b[Body] = 2; }},
        {"owner without an inode", owners, [](auto& b) { std::fill(b.end() - 8, b.end(), 0); }},
        {"cut family", cut, [](auto& b) { b[Body] = 3; }},
        {"cut protocol", cut, [](auto& b) { b[Body + 1] = 1; }},
        {"cut port 0", cut, [](auto& b) { b[Body + 4 + 16] = b[Body + 4 + 17] = 0; }},
        {"cut IPv4 tail", cut, [](auto& b) { b[Body + 4 + 15] = 1; }},
        {"answer without an inode", answer, [](auto& b) { std::fill(b.begin() + Body + 8, b.begin() + Body + 16, 0); }},
        {"answer allow", answer, [](auto& b) { b[Body + 16] = 2; }},
        {"answer reserved", answer, [](auto& b) { b[Body + 18] = 1; }},
        {"answer length", answer, [](auto& b) { b.pop_back(); b[0] -= 1; }},
        {"question without an inode", question, [](auto& b) { std::fill(b.begin() + Body + 8, b.begin() + Body + 16, 0); }},
        {"question pid 0", question, [](auto& b) { std::fill(b.begin() + Body + 16, b.begin() + Body + 20, 0); }},
        {"question family", question, [](auto& b) { b[Body + 20] = 5; }},
        {"question protocol", question, [](auto& b) { b[Body + 21] = 1; }},
        {"question IPv4 tail", question, [](auto& b) { b.back() = 1; }},
        {"gone without an inode", gone, [](auto& b) { std::fill(b.end() - 8, b.end(), 0); }},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = c.base;
        c.spoil(bytes);
        std::string error;
        EXPECT_FALSE(decode(bytes.data(), bytes.size(), &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(EnforcerProtocol, ReaderSkipsABadRecordButStopsAtALengthOutOfRange) {
    std::vector<std::uint8_t> stream = encode({1, Goodbye{}});
    stream[6] = 77; // a whole record of no known type
    const std::vector<std::uint8_t> good = encode({2, samplePolicy()});
    stream.insert(stream.end(), good.begin(), good.end());
    Reader reader;
    Record record;
    for (std::uint8_t byte : stream) // as slowly as a stream may bring it
        reader.feed(&byte, 1);
    EXPECT_EQ(reader.next(&record), Reader::Status::Invalid);
    EXPECT_EQ(reader.sequence(), 1u);
    ASSERT_EQ(reader.next(&record), Reader::Status::Ready);
    EXPECT_EQ(record, (Record{2, samplePolicy()}));
    EXPECT_EQ(reader.next(&record), Reader::Status::NeedMore);

    // A length beyond any record: refused at once, not waited for.
    const std::uint8_t huge[4] = {0xff, 0xff, 0xff, 0x7f};
    reader.feed(huge, sizeof huge);
    EXPECT_EQ(reader.next(&record), Reader::Status::Broken);
}

} // namespace
} // namespace tarvok::enforcer
