#include "settings/settingsfile.h"

#include "settings/savetarget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

void SettingsFile::save(const QString &path, const QString &folder, const QStringList &lines)
{
    // A folder that cannot be made is the reason the file cannot be created, in its own words.
    if (const savetarget::Result made = savetarget::makeFolders(folder); made.outcome != savetarget::Outcome::Done)
        throw SettingsError(cannotCreateMessage(fullPath(path), made.reason));
    const QByteArray bytes = encode(lines, m_encoding.value_or(TextEncoding::Ansi));

    using savetarget::Kind;
    using savetarget::Outcome;
    // Where the bytes go is the file the kernel reaches through every link, so a link stays a
    // link and points where the user pointed it. How they get there depends on what is there:
    //   nothing, or a plain file   a new file beside it replaces it whole, so that a failure
    //                              at any moment leaves the old file as it was;
    //   a plain file no new file   written in place (old bytes put back if that fails): the
    //   may stand in for           user may still write the file, and losing the save is worse.
    //                              The folder takes no new file or refuses the rename (a
    //                              sticky shared folder), or the new file could not be given
    //                              the old one's owner, group, ACL or extended attributes;
    //   a file with hard links     written in place, or the other names would keep old text;
    //   a character device         written in place (a link to /dev/null discards the save);
    //   anything else              refused: a folder, and a block device, FIFO or socket,
    //                              which no settings text belongs on and a FIFO would wait.
    const savetarget::Target target = savetarget::resolve(path);
    savetarget::Result result;
    switch (target.kind) {
    case Kind::Unusable: throw SettingsError(cannotCreateMessage(fullPath(path), target.reason));
    case Kind::Missing:
    case Kind::Regular:
        result = savetarget::replaceBeside(target, bytes);
        if (result.outcome == Outcome::ReplacementRefused && target.kind == Kind::Regular)
            result = savetarget::writeInPlace(target, bytes);
        break;
    case Kind::HardLinked:
    case Kind::CharacterDevice: result = savetarget::writeInPlace(target, bytes); break;
    }
    switch (result.outcome) {
    case Outcome::Done: return;
    case Outcome::ReplacementRefused:
    case Outcome::CannotCreate: throw SettingsError(cannotCreateMessage(fullPath(path), result.reason));
    case Outcome::WriteFailed: throw SettingsError(writeErrorMessage());
    }
}

} // namespace settings
