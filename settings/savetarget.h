#pragma once

// The file-system side of saving the settings file, one implementation per platform
// (savetarget_posix.cpp, savetarget_win.cpp). SettingsFile::save decides what to do from what
// resolve() finds; the calls here only carry it out and say what went wrong. None of them may
// block: a FIFO or a device that waits must never hold the window's close.

#include <QByteArray>
#include <QString>

#include <memory>

namespace settings::savetarget {

// What a path names once every symbolic link on the way is followed as the kernel follows it.
enum class Kind {
    Missing,         // nothing there yet: a new file is made
    Regular,         // a plain file with one name: replaced by a new file beside it
    HardLinked,      // a plain file with further hard links: written in place, or they part
    CharacterDevice, // written in place as it is (the /dev/null case)
    Unusable,        // a folder, block device, FIFO or socket, or no way through: refused
};

#ifdef Q_OS_WIN
// The file the bytes go to, every link resolved, as a full path.
using Place = QString;
#else
// The file the bytes go to: its folder, held open from resolve() on, and its last name in it as
// bytes. Every later call names the file relative to that folder, so a folder on the way that is
// swapped for a link meanwhile changes nothing, and a name that is not UTF-8 stays what it is.
struct Place {
    std::shared_ptr<const int> folder; // the descriptor, closed with the last copy
    QByteArray name;
};
#endif

struct Target {
    Kind kind = Kind::Unusable;
    Place path;     // empty when Unusable
    QString reason; // for Unusable: the platform's words for why
};

Target resolve(const QString &path);

enum class Outcome {
    Done,
    // No new file may stand in for the old one: the folder takes no new file or refuses the
    // rename (rights, a read-only disk, a sticky shared folder), or the new file cannot be given
    // the old one's owner, group, ACL or extended attributes. Writing in place is then better.
    ReplacementRefused,
    CannotCreate, // the file cannot be created or opened for writing
    WriteFailed,  // writing or flushing stopped part-way (a full disk)
};

struct Result {
    Outcome outcome = Outcome::Done;
    QString reason; // the platform's words for the failure
};

// Makes the folder and its missing parents; CannotCreate with the reason the first one that
// could not be made gives (a read-only ~/.config: "Permission denied").
Result makeFolders(const QString &folder);

// Makes the new text in a file beside the target, flushed to the disk, and renames it over the
// target, so that the target is either the old file or the whole new one (should Windows take
// the old file away and then refuse the new one its name, the new file is kept under its
// temporary name, which the reason gives: the only copy is never removed). An existing target
// that may not be written (its rights, an immutable file) is not replaced either (CannotCreate).
// The new file gets everything the old one had that says who may do what: permissions, owner,
// group, ACL and extended attributes, or it is not used (ReplacementRefused). A save killed
// part-way leaves its temporary file; the next one that succeeds removes such leftovers, and
// only those that are provably its own.
Result replaceBeside(const Target &target, const QByteArray &bytes);

// Writes the text over the existing target itself. A regular file gets exactly the new text,
// its room taken before the first byte changes where the file system can; when the write fails
// part-way its old bytes are put back if the file could be read (a write-only file cannot: it
// keeps what the write left, and the failure is reported). A character device gets the bytes
// written to it and nothing else.
Result writeInPlace(const Target &target, const QByteArray &bytes);

} // namespace settings::savetarget
