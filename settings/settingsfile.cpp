#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace settings {

namespace {
QString fullPath(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}
} // namespace

bool SettingsFile::exists(const QString &path)
{
    return QFileInfo(path).isFile();
}

QStringList SettingsFile::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw SettingsError(cannotOpenMessage(fullPath(path), file.errorString()));

    // Enough bytes for the longest mark; the rest is read only when it can be held.
    const QByteArray head = file.peek(3);
    const TextEncoding encoding = detectEncoding(head);
    m_encoding = encoding;

    if (file.size() > kMaxTextBytes)
        throw SettingsError(memoCapacityMessage());
    QByteArray bytes;
    try {
        bytes = file.readAll();
    } catch (const std::bad_alloc &) {
        throw SettingsError(memoCapacityMessage());
    }
    if (file.error() != QFileDevice::NoError)
        throw SettingsError(readErrorMessage());
    return decodeLines(QByteArrayView(bytes).sliced(encodingMark(encoding).size()), encoding);
}

void SettingsFile::save(const QString &path, const QString &folder, const QStringList &lines)
{
    // A folder that cannot be made shows up as the file that cannot be created just below.
    QDir().mkpath(folder);

    // Replacing a file is refused where overwriting it would be: a read-only file stays.
    if (QFileInfo(path).isFile()) {
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
            throw SettingsError(cannotCreateMessage(fullPath(path), probe.errorString()));
    }

    const QByteArray bytes = encode(lines, m_encoding.value_or(TextEncoding::Ansi));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw SettingsError(cannotCreateMessage(fullPath(path), file.errorString()));
    // commit() alone is not enough: when the buffered bytes fail to reach the disk there, it
    // still reports success and puts an empty file in place (seen with Qt 6.4 on a full tmpfs).
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        throw SettingsError(writeErrorMessage());
    }
    if (!file.commit()) {
        if (file.error() == QFileDevice::RenameError)
            throw SettingsError(cannotCreateMessage(fullPath(path), file.errorString()));
        throw SettingsError(writeErrorMessage());
    }
}

} // namespace settings
