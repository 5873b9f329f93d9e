#pragma once
// Writing the files Tarvok keeps. They are private to their user, whatever the umask: the
// records say what the user connected to and when.
//
// saveFileAtomically() replaces a whole file in one step: the new text goes to a temporary
// file beside it, which takes the file's place only when everything was written. On failure
// the file on disk is left as it was and the reason is given.

#include <QByteArray>
#include <QFileDevice>
#include <QString>

namespace tarvok {

// 0600 and 0700.
inline constexpr QFileDevice::Permissions PrivateFile =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner;
inline constexpr QFileDevice::Permissions PrivateFolder = PrivateFile | QFileDevice::ExeOwner;

// The file is written 0600, also where it replaces a file that others could read.
bool saveFileAtomically(const QString& path, const QByteArray& bytes, QString* errorText = nullptr);

// Makes folder 0700 when it is missing (its missing parents as usual); an existing folder is
// left as it is. False when it is not there afterwards.
bool makePrivateFolder(const QString& folder);

// Takes the group's and others' access away from path, a regular file or a folder (a
// symbolic link is left alone), and keeps the owner's. For what older versions left readable.
void keepPrivate(const QString& path);

} // namespace tarvok
