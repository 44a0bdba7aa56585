#include "settings/savetarget.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>

// POSIX: every call after resolve() names the file relative to the folder resolve() opened, and
// paths stay bytes from the first call to the last.

namespace settings::savetarget {

namespace {

// The kernel gives up on longer chains of links with ELOOP; so do we.
constexpr int kMaxLinkHops = 40;
// Every open of a file: never wait (a FIFO, a device), never become the controlling terminal,
// never leak into a child, and never follow a link swapped in after resolve() looked.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW;
// A folder on the way is only passed through: O_PATH needs no read right, as the kernel's own
// walk needs none, and O_NOFOLLOW makes a link show itself so that it is followed by us.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// What a temporary file's name adds to the target's: ".<name>.saving-" and six letters or
// digits. Hidden, and of a shape no one gives a file by hand, so a leftover can be told.
constexpr char kTempMark[] = ".saving-";
constexpr int kTempLetters = 6;
constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }
QString notARegularFile() { return QStringLiteral("Not a regular file"); }

Target unusable(QString reason) { return {Kind::Unusable, {}, std::move(reason)}; }

// A descriptor closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            const int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

std::shared_ptr<const int> shared(Fd folder)
{
    return std::shared_ptr<const int>(new int(folder.release()), [](const int *fd) {
        ::close(*fd);
        delete fd;
    });
}

// The names of a path or a link's text, in order; "" and "." say nothing and are left out.
// endsInFolder: the text ends in a folder ("dir/", "dir/.", ".."), so it names no file.
std::deque<QByteArray> components(const QByteArray &text, bool *endsInFolder)
{
    std::deque<QByteArray> out;
    const QList<QByteArray> parts = text.split('/');
    for (const QByteArray &part : parts)
        if (!part.isEmpty() && part != ".")
            out.push_back(part);
    const QByteArray &last = parts.last();
    *endsInFolder = last.isEmpty() || last == "." || last == "..";
    return out;
}

// The text of the link `name` in folder, or false (errno set) when it is none or unreadable.
bool readLink(int folder, const QByteArray &name, QByteArray *text)
{
    QByteArray buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(folder, name.constData(), buffer.data(), size_t(buffer.size()));
    if (n < 0)
        return false;
    if (n >= buffer.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    *text = buffer.left(n);
    return true;
}

Target classify(Fd folder, const QByteArray &name, const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return {st.st_nlink > 1 ? Kind::HardLinked : Kind::Regular, {shared(std::move(folder)), name}, {}};
    if (S_ISCHR(st.st_mode))
        return {Kind::CharacterDevice, {shared(std::move(folder)), name}, {}};
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

// The part of a temporary name before its letters: the target's name cut so that the whole
// fits the folder's longest name (a 250-byte name would otherwise leave no room).
QByteArray tempStem(int folder, const QByteArray &name)
{
    long longest = ::fpathconf(folder, _PC_NAME_MAX);
    if (longest <= 0)
        longest = NAME_MAX;
    const qsizetype room = qsizetype(longest) - 1 - qsizetype(sizeof kTempMark - 1) - kTempLetters;
    return '.' + name.left(qMax<qsizetype>(room, 1)) + kTempMark;
}

bool isTempName(const QByteArray &candidate, const QByteArray &stem)
{
    if (candidate.size() != stem.size() + kTempLetters || !candidate.startsWith(stem))
        return false;
    for (qsizetype i = stem.size(); i < candidate.size(); ++i)
        if (!std::strchr(kLetters, candidate[i]) || candidate[i] == '\0')
            return false;
    return true;
}

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A new file beside the target, made with O_EXCL so that nothing already there is ever opened,
// and locked for as long as the save holds it: the lock is what tells a later save's clean-up
// that it is alive. A clean-up that took the lock first may have removed the name, so the name
// is checked once the lock is ours, and another is made when it has gone.
Fd createBeside(int folder, const QByteArray &stem, mode_t mode, QByteArray *tempName)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = stem;
        for (int i = 0; i < kTempLetters; ++i)
            name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
        Fd fd(::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, mode));
        if (!fd.valid()) {
            if (errno == EEXIST)
                continue;
            return fd;
        }
        // Held by a clean-up only for the moment of an unlink: the wait is short.
        while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat own {
        }, named{};
        if (::fstat(fd.get(), &own) == 0 && ::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(own, named)) {
            *tempName = name;
            return fd;
        }
    }
    errno = EEXIST;
    return Fd();
}

// The names of every extended attribute of a file (the ACL is system.posix_acl_access).
bool attributeNames(int fd, QList<QByteArray> *names)
{
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP; // a file system without them: there is nothing to carry
    QByteArray list(size, '\0');
    const ssize_t n = ::flistxattr(fd, list.data(), size_t(list.size()));
    if (n < 0)
        return false;
    for (const QByteArray &name : list.left(n).split('\0'))
        if (!name.isEmpty())
            names->append(name);
    return true;
}

bool attribute(int fd, const QByteArray &name, QByteArray *value)
{
    const ssize_t size = ::fgetxattr(fd, name.constData(), nullptr, 0);
    if (size < 0)
        return false;
    value->resize(size);
    const ssize_t n = ::fgetxattr(fd, name.constData(), value->data(), size_t(value->size()));
    if (n < 0)
        return false;
    value->truncate(n);
    return true;
}

// Gives the new file what the old one has that says who may do what: owner and group, the ACL
// and every other extended attribute, and the permission bits last (with an ACL they are its
// mask and stay as they were). False when any of it cannot be given: the replacement would then
// change who may use the file, so it is not used. The old file's attributes are read through
// its descriptor; a user attribute of a file this user may not read cannot be, which also says
// no.
bool carryOver(int oldFd, const struct stat &old, int newFd)
{
    if (::fchown(newFd, old.st_uid, old.st_gid) != 0)
        return false;
    QList<QByteArray> oldNames, newNames;
    if (!attributeNames(oldFd, &oldNames) || !attributeNames(newFd, &newNames))
        return false;
    // An ACL the new file got from its folder's default ACL, which the old file does not have.
    for (const QByteArray &name : newNames)
        if (name.startsWith("system.posix_acl") && !oldNames.contains(name) &&
            ::fremovexattr(newFd, name.constData()) != 0)
            return false;
    for (const QByteArray &name : oldNames) {
        QByteArray value, given;
        if (!attribute(oldFd, name, &value))
            return false;
        if (::fsetxattr(newFd, name.constData(), value.constData(), size_t(value.size()), 0) != 0 &&
            !(attribute(newFd, name, &given) && given == value)) // a label the system gave it already
            return false;
    }
    return ::fchmod(newFd, old.st_mode & 07777) == 0;
}

// Removes what saves killed part-way left beside the target, and nothing else: a regular file
// with exactly a temporary name of this target, one name only, owned by this save's user or by
// the target's owner (a save gives its file that owner), and held by no live save (its lock is
// free). The lock stays taken while the name is checked and removed.
void removeLeftovers(int folder, const QByteArray &stem, uid_t saver, uid_t fileOwner)
{
    Fd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing.valid())
        return;
    DIR *dir = ::fdopendir(listing.get());
    if (!dir)
        return;
    listing.release();
    QList<QByteArray> candidates;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (isTempName(name, stem))
            candidates.append(name);
    }
    ::closedir(dir);

    for (const QByteArray &name : candidates) {
        struct stat seen {
        }, opened{}, now{};
        if (::fstatat(folder, name.constData(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode))
            continue; // never opened: a device would answer an open
        Fd fd(::openat(folder, name.constData(), O_RDONLY | kOpenFlags));
        if (!fd.valid())
            fd = Fd(::openat(folder, name.constData(), O_WRONLY | kOpenFlags));
        if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !sameFile(seen, opened) || !S_ISREG(opened.st_mode) ||
            opened.st_nlink != 1 || (opened.st_uid != saver && opened.st_uid != fileOwner))
            continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // a save is writing it
        if (::fstatat(folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, opened))
            ::unlinkat(folder, name.constData(), 0);
    }
}

} // namespace

Result makeFolders(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    int firstRefusal = 0;
    for (qsizetype slash = path.indexOf('/', 1);; slash = path.indexOf('/', slash + 1)) {
        const QByteArray part = slash == -1 ? path : path.left(slash);
        if (::mkdir(part.constData(), 0777) != 0 && errno != EEXIST && firstRefusal == 0)
            firstRefusal = errno;
        if (slash == -1)
            break;
    }
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return {};
    return {Outcome::CannotCreate, errnoText(firstRefusal != 0 ? firstRefusal : ENOTDIR)};
}

// Walks the path one name at a time from an open folder to the next, following links as the
// kernel does: a link's text is read in the folder the link really sits in, "/" starts again at
// the root and ".." goes up from where the walk stands. The folder of the last name stays open.
Target resolve(const QString &path)
{
    const QByteArray text = QFile::encodeName(path);
    Fd folder(::open(text.startsWith('/') ? "/" : ".", kFolderFlags));
    if (!folder.valid())
        return unusable(errnoText(errno));
    bool endsInFolder = false;
    std::deque<QByteArray> names = components(text, &endsInFolder);
    int hops = 0;
    // Puts a link's text in place of its name: the walk goes on along it.
    const auto follow = [&](const QByteArray &link, bool last) -> bool {
        if (++hops > kMaxLinkHops) {
            errno = ELOOP;
            return false;
        }
        bool linkEndsInFolder = false;
        std::deque<QByteArray> along = components(link, &linkEndsInFolder);
        names.insert(names.begin(), along.begin(), along.end());
        if (last)
            endsInFolder = linkEndsInFolder;
        if (link.startsWith('/')) {
            folder = Fd(::open("/", kFolderFlags));
            return folder.valid();
        }
        return true;
    };
    while (!names.empty()) {
        const QByteArray name = names.front();
        names.pop_front();
        const bool last = names.empty() && !endsInFolder;
        if (!last) {
            Fd next(::openat(folder.get(), name.constData(), kFolderFlags));
            if (next.valid()) {
                folder = std::move(next);
                continue;
            }
            const int err = errno;
            QByteArray link;
            if ((err == ENOTDIR || err == ELOOP) && readLink(folder.get(), name, &link)) {
                if (!follow(link, false))
                    return unusable(errnoText(errno));
                continue;
            }
            return unusable(errnoText(err));
        }
        struct stat st {};
        if (::fstatat(folder.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                return {Kind::Missing, {shared(std::move(folder)), name}, {}};
            return unusable(errnoText(errno));
        }
        if (!S_ISLNK(st.st_mode))
            return classify(std::move(folder), name, st);
        QByteArray link;
        if (!readLink(folder.get(), name, &link) || !follow(link, true))
            return unusable(errnoText(errno));
    }
    return unusable(errnoText(EISDIR)); // the path ends in a folder
}

Result replaceBeside(const Target &target, const QByteArray &bytes)
{
    const int folder = *target.path.folder;
    const QByteArray &name = target.path.name;
    struct stat old {};
    Fd current;
    const bool existing = target.kind != Kind::Missing;
    if (existing) {
        // A replacement is refused where overwriting would be: a read-only file stays. The
        // descriptor is kept to read what the replacement must carry over.
        current = Fd(::openat(folder, name.constData(), O_WRONLY | kOpenFlags));
        if (!current.valid())
            return {Outcome::CannotCreate, errnoText(errno)};
        if (::fstat(current.get(), &old) != 0 || !S_ISREG(old.st_mode))
            return {Outcome::CannotCreate, notARegularFile()};
    }

    // Private until it has the old file's owner and rights; a new file gets what umask allows.
    const QByteArray stem = tempStem(folder, name);
    QByteArray tempName;
    Fd fd = createBeside(folder, stem, existing ? 0600 : 0666, &tempName);
    if (!fd.valid()) {
        // Only a folder that refuses new files lets the caller fall back to writing in place;
        // a full disk, no inode or no file handle left must not cost the old file.
        const int err = errno;
        const bool refused = err == EACCES || err == EPERM || err == EROFS;
        return {refused ? Outcome::ReplacementRefused : Outcome::CannotCreate, errnoText(err)};
    }
    struct stat made {};
    (void)::fstat(fd.get(), &made);
    const auto dropTemp = [&] {
        const int saved = errno;
        ::unlinkat(folder, tempName.constData(), 0);
        errno = saved;
    };
    if (existing && !carryOver(current.get(), old, fd.get())) {
        const int err = errno;
        dropTemp();
        return {Outcome::ReplacementRefused, errnoText(err)};
    }
    // fsync before the rename: otherwise a crash right after it can leave an empty file under
    // the name on file systems that write data after metadata. (NFS reports a failed write in
    // fsync too, so the close after the rename has nothing left to say.)
    if (!writeAllAt(fd.get(), bytes, 0) || ::fsync(fd.get()) != 0) {
        const int err = errno;
        dropTemp();
        return {Outcome::WriteFailed, errnoText(err)};
    }
    // Renamed while still locked, so no other save's clean-up can take it first.
    if (::renameat(folder, tempName.constData(), folder, name.constData()) != 0) {
        const int err = errno;
        dropTemp();
        // A sticky shared folder lets the owner of the file alone replace it; the user may
        // still write it.
        const bool refused = existing && (err == EPERM || err == EACCES);
        return {refused ? Outcome::ReplacementRefused : Outcome::CannotCreate, errnoText(err)};
    }
    fd.reset();
    // And the rename itself reaches the disk with the folder.
    Fd dir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        (void)::fsync(dir.get());
    removeLeftovers(folder, stem, made.st_uid, existing ? old.st_uid : made.st_uid);
    return {};
}

Result writeInPlace(const Target &target, const QByteArray &bytes)
{
    const int folder = *target.path.folder;
    const QByteArray &name = target.path.name;
    if (target.kind == Kind::CharacterDevice) {
        Fd fd(::openat(folder, name.constData(), O_WRONLY | kOpenFlags));
        if (!fd.valid())
            return {Outcome::CannotCreate, errnoText(errno)};
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISCHR(st.st_mode))
            return {Outcome::CannotCreate, notARegularFile()};
        // A device that would wait (a terminal held up) fails with EAGAIN instead.
        if (!writeAllAt(fd.get(), bytes, -1))
            return {Outcome::WriteFailed, errnoText(errno)};
        return {};
    }

    // Read and write where the user may read it: the old bytes are read first so that a failed
    // write can put them back. A write-only file is opened for writing only, as any program the
    // user runs would open it.
    Fd fd(::openat(folder, name.constData(), O_RDWR | kOpenFlags));
    const bool readable = fd.valid();
    if (!readable && errno == EACCES)
        fd = Fd(::openat(folder, name.constData(), O_WRONLY | kOpenFlags));
    if (!fd.valid())
        return {Outcome::CannotCreate, errnoText(errno)};
    struct stat st {};
    QByteArray old;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {Outcome::CannotCreate, notARegularFile()};
    if (readable && !readAllFrom(fd.get(), &old))
        return {Outcome::CannotCreate, errnoText(errno)};
    // The room first, where the file system can take it: a full disk then fails before a byte
    // has changed, which is all a write-only file can be given.
    if (!bytes.isEmpty() && ::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(bytes.size())) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS && errno != EINTR)
        return {Outcome::WriteFailed, errnoText(errno)};
    // The new text over the old and only then cut to its length: the file is never empty on
    // the way, and a write that stops part-way is undone with the old bytes, which fit in the
    // room they had.
    if (!writeAllAt(fd.get(), bytes, 0) || ::ftruncate(fd.get(), off_t(bytes.size())) != 0 || ::fsync(fd.get()) != 0) {
        const int err = errno;
        if (readable && writeAllAt(fd.get(), old, 0))
            (void)!::ftruncate(fd.get(), off_t(old.size()));
        (void)::fsync(fd.get());
        return {Outcome::WriteFailed, errnoText(err)};
    }
    if (::close(fd.release()) != 0)
        return {Outcome::WriteFailed, errnoText(errno)};
    return {};
}

} // namespace settings::savetarget
