// Feeds arbitrary bytes to the update check as the body of an answer with status 200: only a
// short version number may say "up to date" or offer a newer version.

#include "FuzzCheck.h"
#include "shell/UpdateCheck.h"

using namespace tarvok;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto [outcome, text] = UpdateCheck::judge(200, QStringLiteral("OK"), body);
    const bool version = isVersionText(QString::fromUtf8(body));
    if (outcome == UpdateCheck::Outcome::UpToDate || outcome == UpdateCheck::Outcome::Newer) {
        check(version && size <= UpdateCheck::MaxAnswerBytes, "only a version file is read");
        check(text == QString::fromUtf8(body).trimmed(), "the offer shows the file");
    } else {
        check(!version || size > UpdateCheck::MaxAnswerBytes, "a version file is read");
    }
    check(UpdateCheck::judge(404, {}, body).first == UpdateCheck::Outcome::Failed,
          "an error page is a failed check");
    return 0;
}
