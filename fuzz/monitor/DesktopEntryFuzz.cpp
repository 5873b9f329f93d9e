// Feeds arbitrary bytes to the desktop-entry reader as one entry and checks that what it
// keeps is an icon of an [Desktop Entry] group for a program its Exec or TryExec names.

#include "FuzzCheck.h"
#include "monitor/DesktopEntries.h"

using namespace tarvok;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    DesktopEntries entries;
    entries.addEntry(text, QStringLiteral("fuzz.desktop"));
    check(entries.size() <= 2, "at most Exec and TryExec of one entry");
    check(entries.iconFor(QString()).isEmpty(), "no icon for no program");
    const QString program = DesktopEntries::execProgram(QString::fromUtf8(text));
    check(!program.startsWith(QLatin1Char('%')), "a field code is no program");
    if (!program.isEmpty() && program.contains(QLatin1Char('/'))) {
        // The entry's own program finds its icon, and the icon is one line of the entry.
        const QString icon = entries.iconFor(program);
        check(icon.isEmpty() || (!icon.contains(QLatin1Char('\n')) && text.contains("Icon=")),
              "an icon comes from an Icon line");
    }
    return 0;
}
