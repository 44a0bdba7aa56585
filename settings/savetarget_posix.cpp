#include "settings/savetarget.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace settings::savetarget {

namespace {

// The kernel gives up on longer chains of links with ELOOP; so do we.
constexpr int kMaxLinkHops = 40;
// Every open: never wait (a FIFO, a device), never become the controlling terminal, never leak
// into a child, and never follow a link swapped in after resolve() looked.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }
QString notARegularFile() { return QStringLiteral("Not a regular file"); }

Target unusable(QString reason) { return {Kind::Unusable, QString(), std::move(reason)}; }

// The folder part and the last name of a path as written ("." when it has no folder part).
std::pair<QByteArray, QByteArray> splitLast(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return {".", path};
    return {slash == 0 ? QByteArray("/") : path.left(slash), path.mid(slash + 1)};
}

QByteArray realFolder(const QByteArray &folder, int *err)
{
    char resolved[PATH_MAX];
    if (!::realpath(folder.constData(), resolved)) {
        *err = errno;
        return {};
    }
    return QByteArray(resolved);
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

Target classify(const QByteArray &path, const struct stat &st)
{
    const QString name = QFile::decodeName(path);
    if (S_ISREG(st.st_mode))
        return {st.st_nlink > 1 ? Kind::HardLinked : Kind::Regular, name, {}};
    if (S_ISCHR(st.st_mode))
        return {Kind::CharacterDevice, name, {}};
    if (S_ISDIR(st.st_mode))
        return unusable(errnoText(EISDIR));
    return unusable(notARegularFile()); // block device, FIFO, socket
}

// Writes every byte at offset, or where the stream stands when offset is negative (a device).
bool writeAllAt(int fd, const QByteArray &bytes, off_t offset)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const char *from = bytes.constData() + done;
        const size_t size = size_t(bytes.size() - done);
        const ssize_t n = offset < 0 ? ::write(fd, from, size) : ::pwrite(fd, from, size, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

bool readAllFrom(int fd, QByteArray *out)
{
    char chunk[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(chunk, n);
        offset += n;
    }
}

void closeKeepingErrno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// A new name beside the target: the target's own name and six random letters, made with
// O_EXCL so that nothing already there is ever opened.
int createBeside(const QByteArray &target, mode_t mode, QByteArray *tempName)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = target + '.';
        for (int i = 0; i < 6; ++i)
            name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode);
        if (fd >= 0 || errno != EEXIST) {
            *tempName = name;
            return fd;
        }
    }
    return -1;
}

} // namespace

// Follows the links one at a time the way the kernel does: the folder a name sits in is first
// made real (realpath), and a relative link is read from that real folder. Joining the link's
// text to the folder as written would read ".." above a linked folder in the wrong place.
Target resolve(const QString &path)
{
    QByteArray current = QFile::encodeName(path);
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        auto [folder, name] = splitLast(current);
        if (name.isEmpty() || name == "." || name == "..") { // a link text ending in a folder
            folder = current;
            name.clear();
        }
        int err = 0;
        const QByteArray real = realFolder(folder, &err);
        if (real.isEmpty())
            return unusable(errnoText(err));
        if (name.isEmpty())
            return unusable(errnoText(EISDIR));
        const QByteArray full = joined(real, name);
        struct stat st {};
        if (::lstat(full.constData(), &st) != 0) {
            if (errno == ENOENT)
                return {Kind::Missing, QFile::decodeName(full), {}};
            return unusable(errnoText(errno));
        }
        if (!S_ISLNK(st.st_mode))
            return classify(full, st);
        QByteArray text(PATH_MAX, '\0');
        const ssize_t n = ::readlink(full.constData(), text.data(), size_t(text.size()));
        if (n < 0 || n >= text.size())
            return unusable(errnoText(n < 0 ? errno : ENAMETOOLONG));
        text.truncate(n);
        current = text.startsWith('/') ? text : joined(real, text);
    }
    return unusable(errnoText(ELOOP));
}

Result replaceBeside(const Target &target, const QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(target.path);
    struct stat old {};
    const bool existing = target.kind != Kind::Missing;
    if (existing) {
        // A replacement is refused where overwriting would be: a read-only file stays.
        const int probe = ::open(name.constData(), O_WRONLY | kOpenFlags);
        if (probe < 0)
            return {Outcome::CannotCreate, errnoText(errno)};
        const bool regular = ::fstat(probe, &old) == 0 && S_ISREG(old.st_mode);
        ::close(probe);
        if (!regular)
            return {Outcome::CannotCreate, notARegularFile()};
    }

    // Private until it has the old file's owner and rights; a new file gets what umask allows.
    QByteArray tempName;
    const int fd = createBeside(name, existing ? 0600 : 0666, &tempName);
    if (fd < 0) {
        // Only a folder that refuses new files lets the caller fall back to writing in place;
        // a full disk, no inode or no file handle left must not cost the old file.
        const int err = errno;
        const bool refused = err == EACCES || err == EPERM || err == EROFS;
        return {refused ? Outcome::FolderRefuses : Outcome::CannotCreate, errnoText(err)};
    }
    if (existing) {
        // Owner and group where this process may set them (root, or a group the user is in).
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            (void)!::fchown(fd, uid_t(-1), old.st_gid);
        (void)!::fchmod(fd, old.st_mode & 07777);
    }
    // fsync before the rename: otherwise a crash right after it can leave an empty file under
    // the name on file systems that write data after metadata.
    if (!writeAllAt(fd, bytes, 0) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(tempName.constData());
        return {Outcome::WriteFailed, errnoText(err)};
    }
    if (::close(fd) != 0) { // NFS reports a failed write only here
        const int err = errno;
        ::unlink(tempName.constData());
        return {Outcome::WriteFailed, errnoText(err)};
    }
    if (::rename(tempName.constData(), name.constData()) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        return {Outcome::CannotCreate, errnoText(err)};
    }
    // And the rename itself reaches the disk with the folder.
    const int dir = ::open(splitLast(name).first.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return {};
}

Result writeInPlace(const Target &target, const QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(target.path);
    if (target.kind == Kind::CharacterDevice) {
        const int fd = ::open(name.constData(), O_WRONLY | kOpenFlags);
        if (fd < 0)
            return {Outcome::CannotCreate, errnoText(errno)};
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
            ::close(fd);
            return {Outcome::CannotCreate, notARegularFile()};
        }
        // A device that would wait (a terminal held up) fails with EAGAIN instead.
        if (!writeAllAt(fd, bytes, -1)) {
            closeKeepingErrno(fd);
            return {Outcome::WriteFailed, errnoText(errno)};
        }
        ::close(fd);
        return {};
    }

    // Read and write: the old bytes are read first so that a failed write can put them back.
    const int fd = ::open(name.constData(), O_RDWR | kOpenFlags);
    if (fd < 0)
        return {Outcome::CannotCreate, errnoText(errno)};
    struct stat st {};
    QByteArray old;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {Outcome::CannotCreate, notARegularFile()};
    }
    if (!readAllFrom(fd, &old)) {
        closeKeepingErrno(fd);
        return {Outcome::CannotCreate, errnoText(errno)};
    }
    // The new text over the old and only then cut to its length: the file is never empty on
    // the way, and a write that stops part-way (the disk fills) is undone with the old bytes,
    // which fit in the room they had.
    if (!writeAllAt(fd, bytes, 0) || ::ftruncate(fd, off_t(bytes.size())) != 0 || ::fsync(fd) != 0) {
        const int err = errno;
        if (writeAllAt(fd, old, 0))
            (void)!::ftruncate(fd, off_t(old.size()));
        (void)::fsync(fd);
        ::close(fd);
        return {Outcome::WriteFailed, errnoText(err)};
    }
    if (::close(fd) != 0)
        return {Outcome::WriteFailed, errnoText(errno)};
    return {};
}

} // namespace settings::savetarget
