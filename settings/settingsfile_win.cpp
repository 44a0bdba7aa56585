// SettingsFile on Windows. Loading is the same as everywhere; the save uses the system's own
// calls where the POSIX ones (stat, fsync, fchown) have no Windows meaning:
//  - a file another program holds open without letting others write, or a read-only file, cannot
//    be opened for writing: that is "Cannot create file ..." with the system's text, and the old
//    file stays;
//  - the new text goes to a file beside the old one (QSaveFile), flushed to the disk
//    (FlushFileBuffers) as it is committed and moved over the old one (MoveFileEx), so a failure
//    at any point leaves the old file as it was;
//  - where the folder takes no new file but the file itself may be written, it is written in
//    place, flushed the same way.

#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <windows.h>

namespace settings {

namespace {

QString fullPath(const QString &path) { return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()); }

const wchar_t *wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

// The system's text for its last error, as it words it in this Windows's language; its number
// where the system has no text for it.
QString lastErrorText()
{
    const DWORD code = GetLastError();
    const QString text = qt_error_string(int(code));
    return text.isEmpty() ? QStringLiteral("Windows error %1.").arg(code) : text;
}

// Writes over the file itself and flushes it to the disk; every byte must arrive (a full disk
// shows at the write or the flush).
void writeInPlace(const QString &target, const QString &shownPath, const QByteArray &bytes)
{
    const QString native = QDir::toNativeSeparators(target);
    HANDLE file = CreateFileW(wide(native), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw SettingsError(cannotCreateMessage(fullPath(shownPath), lastErrorText()));
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, nullptr) &&
                    written == DWORD(bytes.size()) && FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok)
        throw SettingsError(writeErrorMessage());
}

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

void SettingsFile::save(const QString &path, const QString &folder, const QStringList &lines)
{
    // A folder that cannot be made shows up as the file that cannot be created just below.
    QDir().mkpath(folder);

    const QFileInfo info(path);
    const bool exists = info.exists() && !info.isDir();

    // Replacing a file is refused where overwriting it would be: a read-only file, or one another
    // program has open without sharing it for writing, stays as it is.
    if (exists) {
        HANDLE probe = CreateFileW(wide(QDir::toNativeSeparators(path)), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE)
            throw SettingsError(cannotCreateMessage(fullPath(path), lastErrorText()));
        CloseHandle(probe);
    }

    const QByteArray bytes = encode(lines, m_encoding.value_or(TextEncoding::Ansi));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        // No new file can be made beside it, but the file itself can be written: better in place
        // than not at all.
        if (exists) {
            writeInPlace(path, path, bytes);
            return;
        }
        throw SettingsError(cannotCreateMessage(fullPath(path), file.errorString()));
    }
    // QSaveFile's commit flushes the new file to the disk before it replaces the old one.
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
