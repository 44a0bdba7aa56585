#include "settings/savetarget.h"

#include <QDir>
#include <QRandomGenerator>

#include <windows.h>

// Windows: the system's own calls where the POSIX ones (stat, fsync, fchown, rename) have no
// Windows meaning. A file another program holds open without letting others write, or a
// read-only file, cannot be opened for writing: CannotCreate with the system's text, and the old
// file stays. The replacement keeps what Windows keeps per file (attributes, security, creation
// time) because ReplaceFile carries them over from the old file.

namespace settings::savetarget {

namespace {

const wchar_t *wide(const QString &text) { return reinterpret_cast<const wchar_t *>(text.utf16()); }

// The system's words for an error, in this Windows's language; its number where it has none.
QString systemText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD size =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    QString text = size != 0 ? QString::fromWCharArray(buffer, int(size)).trimmed() : QString();
    LocalFree(buffer);
    return text.isEmpty() ? QStringLiteral("Windows error %1.").arg(code) : text;
}

QString lastErrorText() { return systemText(GetLastError()); }

Target unusable(QString reason) { return {Kind::Unusable, QString(), std::move(reason)}; }

// The path the handle really names once every symbolic link and junction is followed, without
// the "\\?\" prefix the system puts in front; empty when the system cannot tell.
QString finalPath(HANDLE file)
{
    wchar_t buffer[MAX_PATH * 4];
    const DWORD n = GetFinalPathNameByHandleW(file, buffer, DWORD(std::size(buffer)), FILE_NAME_NORMALIZED);
    if (n == 0 || n >= std::size(buffer))
        return {};
    QString path = QString::fromWCharArray(buffer, int(n));
    if (path.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return QLatin1String("\\\\") + path.mid(8);
    if (path.startsWith(QLatin1String("\\\\?\\")))
        return path.mid(4);
    return path;
}

bool writeAll(HANDLE file, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = DWORD(qMin<qsizetype>(bytes.size() - done, 1 << 20));
        if (!WriteFile(file, bytes.constData() + done, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        done += written;
    }
    return true;
}

bool readAll(HANDLE file, QByteArray *out)
{
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        out->append(chunk, got);
    }
}

bool rewind(HANDLE file) { return SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER; }

// A new name beside the target: its own name and six random letters, made with CREATE_NEW so
// that nothing already there is ever opened. Shared with nobody while it is written.
HANDLE createBeside(const QString &target, QString *tempName)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = target + QLatin1Char('.');
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))]);
        const HANDLE file =
            CreateFileW(wide(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            *tempName = name;
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

// The folder and its parents. mkpath's own failure leaves the system's last error behind, which
// is the reason to give (a folder without rights: "Access is denied").
Result makeFolders(const QString &folder)
{
    SetLastError(ERROR_SUCCESS);
    if (QDir().mkpath(folder))
        return {};
    const DWORD err = GetLastError();
    return {Outcome::CannotCreate, systemText(err != ERROR_SUCCESS ? err : ERROR_PATH_NOT_FOUND)};
}

// Opens the path as the system reaches it, following every link and junction, only to look at
// it: no read or write access is asked, so a file another program holds without sharing still
// shows what it is (the save itself then reports the lock).
Target resolve(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE file =
        CreateFileW(wide(native), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND)
            return {Kind::Missing, native, {}};
        // Something there that will not even be looked at: a plain file is left for the save
        // to try (and to report in the words of the call that fails), anything else is refused.
        const DWORD attributes = GetFileAttributesW(wide(native));
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return {Kind::Regular, native, {}};
        return unusable(systemText(err));
    }
    Target target;
    const DWORD type = GetFileType(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_CHAR) {
        target = {Kind::CharacterDevice, native, {}}; // NUL, a console, a serial port
    } else if (type != FILE_TYPE_DISK) {
        target = unusable(systemText(ERROR_ACCESS_DENIED)); // a pipe
    } else if (!GetFileInformationByHandle(file, &info)) {
        target = unusable(lastErrorText());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // What the system says when a folder is opened for writing as a file.
        target = unusable(systemText(ERROR_ACCESS_DENIED));
    } else {
        const QString real = finalPath(file);
        target = {info.nNumberOfLinks > 1 ? Kind::HardLinked : Kind::Regular, real.isEmpty() ? native : real, {}};
    }
    CloseHandle(file);
    return target;
}

Result replaceBeside(const Target &target, const QByteArray &bytes)
{
    const QString name = QDir::toNativeSeparators(target.path);
    const bool existing = target.kind != Kind::Missing;
    if (existing) {
        // A replacement is refused where overwriting would be: a read-only file, or one another
        // program holds open without letting others write or delete it, stays.
        const HANDLE probe =
            CreateFileW(wide(name), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE)
            return {Outcome::CannotCreate, lastErrorText()};
        CloseHandle(probe);
    }

    QString tempName;
    const HANDLE file = createBeside(name, &tempName);
    if (file == INVALID_HANDLE_VALUE) {
        // Only a folder that refuses new files lets the caller fall back to writing in place;
        // a full disk must not cost the old file.
        const DWORD err = GetLastError();
        const bool refused = err == ERROR_ACCESS_DENIED || err == ERROR_WRITE_PROTECT;
        return {refused ? Outcome::ReplacementRefused : Outcome::CannotCreate, systemText(err)};
    }
    // Flushed before it takes the name: otherwise a crash right after can leave an empty file.
    if (!writeAll(file, bytes) || !FlushFileBuffers(file)) {
        const DWORD err = GetLastError();
        CloseHandle(file);
        DeleteFileW(wide(tempName));
        return {Outcome::WriteFailed, systemText(err)};
    }
    CloseHandle(file);

    // ReplaceFile keeps the old file's attributes and security; MoveFileEx is for a new file,
    // and for the odd failure of ReplaceFile that leaves the new file under its temporary name
    // with the old one gone. Both leave the target either old or whole.
    bool moved = existing &&
                 ReplaceFileW(wide(name), wide(tempName), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    DWORD err = moved ? ERROR_SUCCESS : GetLastError();
    if (!moved && (!existing || err == ERROR_UNABLE_TO_MOVE_REPLACEMENT)) {
        moved = MoveFileExW(wide(tempName), wide(name), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!moved)
            err = GetLastError();
    }
    if (!moved) {
        DeleteFileW(wide(tempName));
        return {Outcome::CannotCreate, systemText(err)};
    }
    return {};
}

Result writeInPlace(const Target &target, const QByteArray &bytes)
{
    const QString name = QDir::toNativeSeparators(target.path);
    if (target.kind == Kind::CharacterDevice) {
        const HANDLE device = CreateFileW(wide(name), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            return {Outcome::CannotCreate, lastErrorText()};
        const bool ok = writeAll(device, bytes);
        const DWORD err = GetLastError();
        CloseHandle(device);
        return ok ? Result{} : Result{Outcome::WriteFailed, systemText(err)};
    }

    // Read and write, shared for reading only while we write: the old bytes are read first so
    // that a failed write can put them back.
    const HANDLE file = CreateFileW(wide(name), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {Outcome::CannotCreate, lastErrorText()};
    QByteArray old;
    if (!readAll(file, &old) || !rewind(file)) {
        const DWORD err = GetLastError();
        CloseHandle(file);
        return {Outcome::CannotCreate, systemText(err)};
    }
    // The new text over the old and only then cut to its length: the file is never empty on the
    // way, and a write that stops part-way is undone with the old bytes.
    if (!writeAll(file, bytes) || !SetEndOfFile(file) || !FlushFileBuffers(file)) {
        const DWORD err = GetLastError();
        if (rewind(file) && writeAll(file, old))
            SetEndOfFile(file);
        FlushFileBuffers(file);
        CloseHandle(file);
        return {Outcome::WriteFailed, systemText(err)};
    }
    CloseHandle(file);
    return {};
}

} // namespace settings::savetarget
