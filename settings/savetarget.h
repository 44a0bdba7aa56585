#pragma once

// The file-system side of saving the settings file, one implementation per platform
// (savetarget_posix.cpp). SettingsFile::save decides what to do from what resolveSaveTarget
// finds; the calls here only carry it out and say what went wrong. None of them may block: a
// FIFO or a device that waits must never hold the window's close.

#include <QByteArray>
#include <QString>

namespace settings::savetarget {

// What a path names once every symbolic link on the way is followed as the kernel follows it.
enum class Kind {
    Missing,         // nothing there yet: a new file is made
    Regular,         // a plain file with one name: replaced by a new file beside it
    HardLinked,      // a plain file with further hard links: written in place, or they part
    CharacterDevice, // written in place as it is (the /dev/null case)
    Unusable,        // a folder, block device, FIFO or socket, or no way through: refused
};

struct Target {
    Kind kind = Kind::Unusable;
    QString path;   // the file the bytes go to, every link resolved; empty when Unusable
    QString reason; // for Unusable: the platform's words for why
};

Target resolve(const QString &path);

enum class Outcome {
    Done,
    FolderRefuses, // no new file may be made in the folder (rights, read-only disk)
    CannotCreate,  // the file cannot be created or opened for writing
    WriteFailed,   // writing or flushing stopped part-way (a full disk)
};

struct Result {
    Outcome outcome = Outcome::Done;
    QString reason; // the platform's words for the failure
};

// Makes the new text in a file beside target.path, flushed to the disk, and renames it over
// the target, so that the target is either the old file or the whole new one. An existing
// target that may not be written (its rights, an immutable file) is not replaced either
// (CannotCreate). Its permissions, owner and group go to the new file (owner and group where
// the process may set them). FolderRefuses only when the new file could not be made because
// the folder takes none: the one case where writing in place is the better way.
Result replaceBeside(const Target &target, const QByteArray &bytes);

// Writes the text over the existing target itself. A regular file (read and writable) gets
// exactly the new text; when that fails part-way its old bytes are put back. A character
// device gets the bytes written to it and nothing else.
Result writeInPlace(const Target &target, const QByteArray &bytes);

} // namespace settings::savetarget
