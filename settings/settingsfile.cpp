#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace settings {

namespace {
QString fullPath(const QString &path) { return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()); }
} // namespace

bool SettingsFile::exists(const QString &path) { return QFileInfo(path).isFile(); }

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

namespace {

// Where the bytes must go: the file a symbolic link ends at, so the link stays a link (and
// keeps pointing where the user pointed it) instead of being replaced by a file of our own.
QString finalTarget(const QString &path)
{
    QFileInfo info(path);
    for (int depth = 0; depth < 40 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return info.filePath();
}

// Writes over the file itself: for a file that is not a plain file (a link to /dev/null), a
// file with further hard links, which a replacement would part from this name, and a file
// whose folder takes no new files. Empties the file first, as any plain write does, and checks
// that every byte reached it (a full disk shows only at the flush).
void writeInPlace(const QString &target, const QString &shownPath, const QByteArray &bytes)
{
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::ExistingOnly))
        throw SettingsError(cannotCreateMessage(fullPath(shownPath), file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.flush() || (::fsync(file.handle()) != 0 && errno != EINVAL))
        throw SettingsError(writeErrorMessage());
    file.close();
    if (file.error() != QFileDevice::NoError)
        throw SettingsError(writeErrorMessage());
}

} // namespace

void SettingsFile::save(const QString &path, const QString &folder, const QStringList &lines)
{
    // A folder that cannot be made shows up as the file that cannot be created just below.
    QDir().mkpath(folder);

    const QString target = finalTarget(path);
    struct stat old {};
    const bool exists = ::stat(QFile::encodeName(target).constData(), &old) == 0;

    // Replacing a file is refused where overwriting it would be: a read-only file stays.
    if (exists && !S_ISDIR(old.st_mode)) {
        QFile probe(target);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
            throw SettingsError(cannotCreateMessage(fullPath(path), probe.errorString()));
    }

    const QByteArray bytes = encode(lines, m_encoding.value_or(TextEncoding::Ansi));
    if (exists && !S_ISDIR(old.st_mode) && (!S_ISREG(old.st_mode) || old.st_nlink > 1)) {
        writeInPlace(target, path, bytes);
        return;
    }

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        // No new file can be made beside it (a folder without rights), but the file itself
        // can be written: better in place than not at all.
        if (exists && S_ISREG(old.st_mode)) {
            writeInPlace(target, path, bytes);
            return;
        }
        throw SettingsError(cannotCreateMessage(fullPath(path), file.errorString()));
    }
    // The replacement keeps the old file's owner and group where this process may set them
    // (its permissions QSaveFile keeps itself).
    if (exists && ::fchown(file.handle(), old.st_uid, old.st_gid) != 0)
        (void)!::fchown(file.handle(), uid_t(-1), old.st_gid);
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
