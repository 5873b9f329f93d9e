// Feeds arbitrary bytes to the control socket's request reader as what a client has sent so
// far: only an exact request line within the length limit is a command, and what the instance
// reads of the bytes (MaxRequestBytes + 1 at most) decides as the whole would.

#include "FuzzCheck.h"
#include "control/ControlProtocol.h"

using namespace tarvok::control;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView received(reinterpret_cast<const char*>(data), qsizetype(size));
    const Request request = decodeRequest(received);
    const qsizetype end = received.indexOf('\n');
    switch (request.kind) {
    case Request::Kind::Command: {
        check(end >= 0 && end <= MaxRequestBytes, "a command is a whole line within the limit");
        QByteArrayView line = received.first(end);
        if (line.endsWith('\r'))
            line.chop(1);
        check(line == QByteArrayView(requestLine(request.command)), "only its exact line");
        break;
    }
    case Request::Kind::Unknown:
        check(end >= 0 && end <= MaxRequestBytes, "an unknown line is a whole line");
        break;
    case Request::Kind::Incomplete:
        check(end < 0 && size <= size_t(MaxRequestBytes), "waits only for a short line");
        break;
    case Request::Kind::TooLong:
        check(end > MaxRequestBytes || (end < 0 && size > size_t(MaxRequestBytes)),
              "too long only past the limit");
        break;
    }
    const Request peeked = decodeRequest(received.first(qMin<qsizetype>(size, MaxRequestBytes + 1)));
    check(peeked.kind == request.kind && peeked.command == request.command,
          "the bytes read decide as the whole");
    return 0;
}
