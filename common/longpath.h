#pragma once

// A path as Windows' wide-character calls take it beyond MAX_PATH (260 characters) on every
// Windows 10 and 11, whatever the system's long-path setting says: the full path with the
// "\\?\" prefix ("\\?\UNC\server\share\..." for a network path). The prefix turns off the
// system's own clean-up of the name, so "." and ".." are resolved here and "/" becomes "\".
// Relative names, device names ("NUL") and names already in that form stay as they are.

#include <QDir>
#include <QString>

namespace vintra {

inline QString longPathName(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (native.startsWith(QLatin1String("\\\\?\\")) || native.startsWith(QLatin1String("\\\\.\\")))
        return native;
    const QString clean = QDir::toNativeSeparators(QDir::cleanPath(native));
    if (clean.startsWith(QLatin1String("\\\\")))
        return QLatin1String("\\\\?\\UNC\\") + clean.mid(2);
    if (clean.size() >= 3 && clean[1] == QLatin1Char(':') && clean[2] == QLatin1Char('\\'))
        return QLatin1String("\\\\?\\") + clean;
    return native;
}

} // namespace vintra
