#pragma once
// What the rule editor does with its fields, apart from showing them: the checks of an
// address and a port, the duplicate test of Add, and the mapping between the fields and a
// row of the rule table. The dialog only moves texts between its controls and these.

#include "engine/RuleTable.h"

#include <QString>

namespace tarvok {

// The editor's fields. A box that is disabled holds the any-word of its choice.
struct EditorFields {
    bool accept = true;
    bool specificAddress = false; // Combo1 on its second item: txtRemA enabled
    QString address;
    bool specificPort = false; // Combo3 on its second item: txtRemP enabled
    QString port;
    bool logged = false; // Combo4 on its first item
    bool enabled = true; // Combo5 on its first item
    QString description;
    // The protocol cell: a new rule covers TCP and UDP, so that a blocked address is blocked
    // over QUIC and DNS too.
    QString protocol = QStringLiteral("TCP/UDP");
    // The absolute path of the program the rule names; empty for any program.
    QString program{};

    bool operator==(const EditorFields&) const = default;
};

// The editor's check failures, by the key of their message in section Add.
enum class EditorCheck {
    Ok = 0,
    Empty = 22,
    BadAddress = 24,
    BadPort = 25,
    ProgramNotAbsolute = 43, // the values of ProgramCheck
    ProgramControlCharacter = 44,
    ProgramTooLong = 45,
};

// The text a connection shows for an address, or empty when text is no address: a dotted
// IPv4 address with four parts of 0 to 255 and no leading zeros as it stands; any IPv6 address
// in its canonical form ("2001:DB8:0::1" is "2001:db8::1"); an IPv4-mapped IPv6 address as the
// IPv4 address its connections show.
QString canonicalAddress(const QString& text);
// A port a connection can have: decimal digits only, at most 65535.
bool isPortNumber(const QString& text);

// The checks of Add and Modify, in order: an enabled box left empty, then the address, then
// the port, then the program path (see ProgramChoice.h). The any-words pass as they are.
EditorCheck checkFields(const EditorFields& fields, const RuleWords& words);

// Add's duplicate test: the first row with the same address (compared canonically), the
// same port text and the same program, or -1. A rule for one program is no duplicate of a
// rule for any program: each decides connections the other does not.
int duplicateRow(const RuleTable& table, const QString& address, const QString& port,
                 const QString& program = {});

// The fields of a new rule: accept, any address, any port, not logged, enabled, TCP and UDP,
// any program.
EditorFields blankFields(const RuleWords& words, const QString& description);
// The fields of an existing row, for Modify.
EditorFields fieldsOfRule(const Rule& rule, const RuleWords& words);
// The row the fields describe, with the address in its canonical text. base supplies the
// number (Modify keeps it).
Rule ruleOfFields(const EditorFields& fields, const RuleWords& words, const Rule& base = {});

} // namespace tarvok
