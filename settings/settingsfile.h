#pragma once

// The line buffer between the settings file and the window's controls. It lives for the whole
// run and remembers the encoding the file was read in, so every save writes that encoding back.
//
// Typical use by the main window:
//   start-up:  appdata = appDataDir(); path = settingsFilePath(appdata);
//              if (SettingsFile::exists(path)) lines = buffer.load(path);   // may throw
//   close:     buffer.save(path, settingsFolder(appdata), lines);           // may throw
// Every failure is a SettingsError whose message is the text to show.

#include "settings/settingscodec.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace settings {

class SettingsFile {
public:
    // Whether a file (not a folder) is at path.
    static bool exists(const QString &path);

    // Reads the whole file and returns its kLineCount lines. The encoding is remembered as soon
    // as the first bytes are seen, so it stays remembered when the text then fails to decode.
    // Throws SettingsError:
    //   "Cannot open file "<full path>". <reason>"   - cannot be opened (remembers nothing)
    //   noMappingMessage()                            - undecodable text after a mark
    //   memoCapacityMessage()                         - text too large to hold
    //   readErrorMessage()                            - reading failed after the open
    QStringList load(const QString &path);

    // Writes the lines (see encode()) in the remembered encoding, or in ANSI without a mark when
    // nothing was read. Creates folder and its missing parents first. The file written is the
    // one the kernel reaches through every symbolic link (a relative link read from the folder
    // it really sits in); the links stay, and a name is kept as the bytes it is. Each folder on
    // the way is held open from the one before, so a folder swapped for a link during the save
    // does not send it elsewhere. A plain file is replaced by a new file made beside it once
    // everything is written and flushed, so on any failure the old file is left exactly as it
    // was; the replacement keeps the old file's permissions, owner, group, ACL and extended
    // attributes, or is not used. Written in place instead, with the old bytes put back when
    // that fails (where they can be read): a plain file with more than one hard link, a writable
    // file no new file may stand in for (a folder that takes no new files or refuses the rename,
    // attributes that cannot be carried), and a character device (a link to /dev/null). A
    // successful replacement removes the temporary files of earlier saves that were killed
    // part-way. Never blocks. Throws SettingsError:
    //   "Cannot create file "<full path>". <reason>" - folder, file or replacement impossible
    //                                                   (no rights, a folder named like the file,
    //                                                   a read-only or immutable file, no inode
    //                                                   left, a block device, FIFO or socket);
    //                                                   the reason is the first failure's
    //   writeErrorMessage()                           - writing or flushing failed (disk full)
    void save(const QString &path, const QString &folder, const QStringList &lines);

    std::optional<TextEncoding> rememberedEncoding() const { return m_encoding; }

private:
    std::optional<TextEncoding> m_encoding;
};

} // namespace settings
