#include "settings/savetarget.h"

#include "common/longpath.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRandomGenerator>

#include <cstring>
#include <string>

#include <windows.h>

// Windows: the system's own calls where the POSIX ones (stat, fsync, fchown, rename) have no
// Windows meaning. A read-only file, or one another program keeps open without letting others
// write, cannot be opened for writing: CannotCreate with the system's text, and the old file
// stays. Virus scanners, the search indexer and sync clients open a file for a moment right after
// it changes, so a sharing or lock violation is tried again for about a second before it counts.
// The replacement keeps what Windows keeps per file (attributes, security, creation time)
// because ReplaceFile carries them over from the old file.
//
// Every name goes to the system in its long form (common/longpath.h), so paths longer than
// MAX_PATH work whatever the system's long-path setting says.

namespace settings::savetarget {

namespace {

// A name as the system is given it: the long form, as a wide string that lasts until the end of
// the call it is written in.
class LongName {
public:
    explicit LongName(const QString &name) : m_text(vintra::longPathName(name)) {}
    operator const wchar_t *() const { return reinterpret_cast<const wchar_t *>(m_text.utf16()); }

private:
    QString m_text;
};

// What the system says for a moment only, while another program has the file open.
bool passing(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Runs `attempt` until it succeeds, fails for a lasting reason, or about a second has gone by;
// the last error stays for the caller to read.
template <typename Attempt>
bool patiently(Attempt attempt)
{
    const QDeadlineTimer deadline(1000);
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        if (!passing(error) || deadline.hasExpired())
            return false;
        Sleep(25);
        SetLastError(error);
    }
}

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
    const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
    if (needed == 0)
        return {};
    std::wstring buffer(needed, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(file, buffer.data(), needed, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= needed)
        return {};
    QString path = QString::fromWCharArray(buffer.data(), int(n));
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

// The new file's name beside the target: its own name, ".saving-" and six letters or digits.
// A save that is killed leaves it behind; exactly this shape tells ours from anybody else's.
constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kRandomLetters = 6;
QLatin1String savingInfix() { return QLatin1String(".saving-"); }

bool isOurTemporaryName(const QString &name, const QString &targetName)
{
    const QString prefix = targetName + savingInfix();
    if (name.size() != prefix.size() + kRandomLetters || !name.startsWith(prefix, Qt::CaseInsensitive))
        return false;
    for (const QChar c : QStringView(name).mid(prefix.size()))
        if (c.unicode() >= 0x80 || !std::strchr(kLetters, char(c.unicode())))
            return false;
    return true;
}

// A new name beside the target, made with CREATE_NEW so that nothing already there is ever
// opened. Shared with nobody while it is written, which is also how a later save knows it is
// still being written.
HANDLE createBeside(const QString &target, QString *tempName)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = target + savingInfix();
        for (int i = 0; i < kRandomLetters; ++i)
            name += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))]);
        const HANDLE file =
            CreateFileW(LongName(name), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            *tempName = name;
            return file;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// After a successful save: the new files of saves killed part-way beside the target. Only our
// exact name, a plain file with one name and no link, and only when nobody has it open (a save
// still writing holds its file unshared, so the open fails and the file stays).
void removeLeftovers(const QString &target)
{
    const qsizetype slash = target.lastIndexOf(QLatin1Char('\\'));
    const QString folder = target.left(slash + 1);
    const QString targetName = target.mid(slash + 1);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileExW(LongName(target + savingInfix() + QLatin1Char('*')), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (!isOurTemporaryName(name, targetName) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        const HANDLE file = CreateFileW(LongName(folder + name), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            info.nNumberOfLinks == 1) {
            FILE_DISPOSITION_INFO dispose{TRUE};
            SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
        }
        CloseHandle(file);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

// The folder and its parents. mkpath's own failure leaves the system's last error behind, which
// is the reason to give (a folder without rights: "Access is denied").
Result makeFolders(const QString &folder)
{
    SetLastError(ERROR_SUCCESS);
    // Qt gives the system the long form of the name itself.
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
        CreateFileW(LongName(native), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND)
            return {Kind::Missing, native, {}};
        // Something there that will not even be looked at: a plain file is left for the save
        // to try (and to report in the words of the call that fails), anything else is refused.
        const DWORD attributes = GetFileAttributesW(LongName(native));
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
        // program keeps open without letting others write or delete it, stays.
        HANDLE probe = INVALID_HANDLE_VALUE;
        const bool opened = patiently([&] {
            probe = CreateFileW(LongName(name), GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
            return probe != INVALID_HANDLE_VALUE;
        });
        if (!opened)
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
        DeleteFileW(LongName(tempName));
        return {Outcome::WriteFailed, systemText(err)};
    }
    CloseHandle(file);

    // ReplaceFile keeps the old file's attributes and security; MoveFileEx is for a new file,
    // and for the failure of ReplaceFile that leaves the new file under its temporary name with
    // the old one already gone (ERROR_UNABLE_TO_MOVE_REPLACEMENT).
    bool moved = existing && patiently([&] {
                     return ReplaceFileW(LongName(name), LongName(tempName), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                         nullptr, nullptr);
                 });
    DWORD err = moved ? ERROR_SUCCESS : GetLastError();
    // Both say the old file has been taken away (deleted, or put under another name). Only the
    // error can tell: what answers to the name afterwards need not be the old file (under Wine, a
    // file whose name differs from it in case alone).
    const bool oldDeleted = err == ERROR_UNABLE_TO_MOVE_REPLACEMENT || err == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
    if (!moved && (!existing || oldDeleted)) {
        moved = patiently([&] {
            return MoveFileExW(LongName(tempName), LongName(name), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        });
        if (!moved)
            err = GetLastError();
    }
    if (!moved) {
        // With the old file deleted or gone the new one is the only copy left: it stays, and
        // the message says where. Otherwise the old file is whole and the new one goes.
        if (oldDeleted || (existing && GetFileAttributesW(LongName(name)) == INVALID_FILE_ATTRIBUTES))
            return {Outcome::CannotCreate,
                    systemText(err) + QStringLiteral(" The settings are in \"%1\".").arg(tempName)};
        DeleteFileW(LongName(tempName));
        return {Outcome::CannotCreate, systemText(err)};
    }
    removeLeftovers(name);
    return {};
}

Result writeInPlace(const Target &target, const QByteArray &bytes)
{
    const QString name = QDir::toNativeSeparators(target.path);
    if (target.kind == Kind::CharacterDevice) {
        const HANDLE device = CreateFileW(LongName(name), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
    HANDLE file = INVALID_HANDLE_VALUE;
    const bool opened = patiently([&] {
        file = CreateFileW(LongName(name), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    if (!opened)
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
