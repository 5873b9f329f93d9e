// Feeds arbitrary bytes to the policy reader as a policy file and checks that it gives rows or
// a reason, that the rows are well formed, and that they survive a save and a second read.

#include "FuzzCheck.h"
#include "engine/RuleIndex.h"
#include "policy/PolicyFile.h"
#include "settings/IniFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>

using namespace tarvok;
using tarvok::fuzz::check;

namespace {

QTemporaryDir& folder() {
    static QTemporaryDir dir;
    return dir;
}

// Each input gets its own modification time in the past, so the INI reader's cache trusts
// the file after one read (a large Count then costs lookups, not re-reads) and never mixes
// one input up with the one before.
void writeInput(const QString& path, const QByteArray& bytes) {
    static long long serial = 0;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();
    ++serial;
    const timespec times[2] = {{1000000000 + serial / 1000000000, serial % 1000000000},
                               {1000000000 + serial / 1000000000, serial % 1000000000}};
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!folder().isValid())
        std::abort();
    const RuleWords words;
    const QString path = folder().filePath(QStringLiteral("fuzz.rlsp"));
    writeInput(path, QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    // Thousands of rows cost seconds here, not new paths; the largest Count is a unit test.
    const auto count =
        policyCount(ini::read(QStringLiteral("Rules"), QStringLiteral("Count"), path));
    if (count && *count > 300)
        return 0;
    const PolicyRead read = readPolicy(path, words);
    const QList<Rule>& rules = read.rules;
    check(read.ok() || rules.isEmpty(), "a failed read gives no rows");
    check(read.ok() || !policyReadFailure(read, nullptr).isEmpty(), "a failure says why");
    check(rules.size() <= MaxPolicyRules, "at most 32767 rows");
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const Rule& r = rules.at(i);
        check(r.action == words.accept || r.action == words.block, "action is a word");
        check(r.icon == (r.action == words.accept ? 1 : 2), "icon follows the action");
        check(r.number == QString::number(i + 1), "number is the position");
        check(r.enabled.isEmpty() || r.enabled == words.disabled, "enabled cell");
        check(r.log.isEmpty() || r.log == words.noLog, "log cell");
        check(!r.description.isEmpty(), "description never empty");
        check(r.address.size() <= 354 && r.port.size() <= 354, "values cut to 354");
    }

    // Saved and read again, the rows keep their count and their meaning.
    writeInput(path, policyText(rules, words));
    const PolicyRead reread = readPolicy(path, words);
    check(reread.ok(), "a saved policy reads as one");
    const QList<Rule>& again = reread.rules;
    check(again.size() == rules.size(), "count survives a save");
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const Rule& a = rules.at(i);
        const Rule& b = again.at(i);
        check(a.action == b.action && a.enabled == b.enabled && a.log == b.log,
              "action, state and log survive a save");
        check((a.address == words.anyAddress) == (b.address == words.anyAddress) &&
                  (a.port == words.anyPort) == (b.port == words.anyPort),
              "any-address and any-port survive a save");
        // A path comes back exactly; a cell that matches nothing never comes back as a path
        // or as any program.
        const ProgramPattern program = parseProgramCell(a.program);
        check(program.kind == parseProgramCell(b.program).kind, "a program's meaning survives a save");
        check(program.kind == ProgramPattern::Nothing || a.program == b.program,
              "a program path survives a save exactly");
    }
    return 0;
}
