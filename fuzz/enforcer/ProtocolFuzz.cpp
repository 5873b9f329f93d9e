// Feeds arbitrary bytes to the enforcer's record reader, as a peer's stream would bring them,
// and checks that every record it accepts encodes back to a record that decodes the same.

#include "FuzzCheck.h"
#include "enforcer/Protocol.h"

using namespace tarvok::enforcer;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader reader;
    // The first byte splits the input in two reads, as a stream may.
    const std::size_t split = size > 0 ? data[0] % (size + 1) : 0;
    reader.feed(data, split);
    Record record;
    int records = 0;
    const auto drain = [&] {
        for (Reader::Status status; (status = reader.next(&record)) != Reader::Status::NeedMore;) {
            if (status == Reader::Status::Broken)
                return;
            check(++records <= static_cast<int>(size / HeaderSize) + 1, "one record per header");
            if (status != Reader::Status::Ready)
                continue;
            const std::vector<std::uint8_t> again = encode(record);
            check(again.size() <= MaxRecordSize, "a record within the size bound");
            const std::optional<Record> decoded = decode(again.data(), again.size(), nullptr);
            check(decoded && *decoded == record, "an accepted record encodes back the same");
        }
    };
    drain();
    reader.feed(data + split, size - split);
    drain();
    return 0;
}
