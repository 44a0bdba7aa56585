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
    // A folder that cannot be made shows up as the file that cannot be created just below.
    QDir().mkpath(folder);
    const QByteArray bytes = encode(lines, m_encoding.value_or(TextEncoding::Ansi));

    using savetarget::Kind;
    using savetarget::Outcome;
    // Where the bytes go is the file the kernel reaches through every link, so a link stays a
    // link and points where the user pointed it. How they get there depends on what is there:
    //   nothing, or a plain file   a new file beside it replaces it whole, so that a failure
    //                              at any moment leaves the old file as it was;
    //   a plain file whose folder  written in place (old bytes put back if that fails): the
    //   takes no new files         user may still write the file, and losing the save is worse;
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
        if (result.outcome == Outcome::FolderRefuses && target.kind == Kind::Regular)
            result = savetarget::writeInPlace(target, bytes);
        break;
    case Kind::HardLinked:
    case Kind::CharacterDevice: result = savetarget::writeInPlace(target, bytes); break;
    }
    switch (result.outcome) {
    case Outcome::Done: return;
    case Outcome::FolderRefuses:
    case Outcome::CannotCreate: throw SettingsError(cannotCreateMessage(fullPath(path), result.reason));
    case Outcome::WriteFailed: throw SettingsError(writeErrorMessage());
    }
}

} // namespace settings
