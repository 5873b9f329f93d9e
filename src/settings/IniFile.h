#pragma once
// INI access with the semantics every Tarvok file relies on: an empty default, section and
// key names matched without regard to case, blanks around a value removed, a value in double
// quotes read without them, values cut to 354 characters, and a missing file, section or key
// read as the empty text.

#include <QString>

namespace tarvok::ini {

// The longest value a read returns; longer values are cut to this many characters.
constexpr int MaxValueLength = 354;

// ReadINI: the value of key in [section] of the file at path.
QString read(const QString& section, const QString& key, const QString& path);

// writeini: sets one key, creating the file or section as needed and keeping every other
// line. Returns false when the file could not be written; the file is then unchanged.
bool write(const QString& section, const QString& key, const QString& value, const QString& path);

} // namespace tarvok::ini
