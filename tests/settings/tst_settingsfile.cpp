// The settings file as the window meets it: real files in a temporary folder, loaded and saved
// through SettingsFile, byte for byte. Failures that need a full or read-only disk use a tiny
// tmpfs mounted by the test, and a block device a loop device (root only; skipped elsewhere).

#include "initialplan.h"
#include "settings/savetarget.h"
#include "settings/settingsfile.h"
#include "settings/settingspaths.h"
#include "specialfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace settings;
using namespace specialfiles;

namespace {

// The initial plan, the three options ticked, no sound files chosen.
const QStringList kInitial = initialPlanLines() + QStringList{"1", "1", "1", "", "", "", "", "", ""};

QStringList padded(QStringList lines)
{
    while (lines.size() < kLineCount)
        lines.append(QString());
    return lines;
}

QByteArray crlfLines(const QList<QByteArray> &lines)
{
    QByteArray out;
    for (int i = 0; i < kLineCount; ++i)
        out += (i < lines.size() ? lines[i] : QByteArray()) + "\r\n";
    return out;
}

QByteArray utf16(const QString &text, bool littleEndian)
{
    QByteArray out(littleEndian ? "\xFF\xFE" : "\xFE\xFF");
    for (const QChar c : text) {
        const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
        out.append(littleEndian ? lo : hi).append(littleEndian ? hi : lo);
    }
    return out;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// As root, file permissions only bind after the file-system user id is changed (which also
// drops the override capabilities of this thread until it is changed back).
class AsNobody {
public:
    AsNobody() : m_root(geteuid() == 0)
    {
        if (m_root) {
            setfsgid(65534);
            setfsuid(65534);
        }
    }
    ~AsNobody()
    {
        if (m_root) {
            setfsuid(0);
            setfsgid(0);
        }
    }

private:
    bool m_root;
};

// A save that must go through; what it throws fails the test instead of ending the run.
#define SAVE_OR_FAIL(buffer, path, folder, lines)                                                                      \
    do {                                                                                                               \
        try {                                                                                                          \
            (buffer).save(path, folder, lines);                                                                        \
        } catch (const SettingsError &e) {                                                                             \
            QFAIL(e.what());                                                                                           \
        }                                                                                                              \
    } while (0)

// The save must fail with "Cannot create file "<path>". <reason>".
#define EXPECT_CANNOT_CREATE(buffer, path, folder, lines)                                                              \
    do {                                                                                                               \
        try {                                                                                                          \
            (buffer).save(path, folder, lines);                                                                        \
            QFAIL("the save went through");                                                                            \
        } catch (const SettingsError &e) {                                                                             \
            const QString prefix = QStringLiteral("Cannot create file \"%1\". ").arg(path);                            \
            QVERIFY2(e.message().startsWith(prefix) && e.message().size() > prefix.size(), e.what());                  \
        }                                                                                                              \
    } while (0)

// Settings larger than a page, so that a write over the old file needs new room on the disk.
QStringList largeSettings()
{
    QStringList lines = kInitial;
    for (int i = 11; i < kLineCount; ++i)
        lines[i] = QString(3000, QChar(u'a' + i));
    return lines;
}

// Fills the disk that holds folder: its blocks (a file "filler") and then its inodes (empty
// files "inode-N"). Returns how many inodes it took.
int fillDisk(const QString &folder, bool inodesToo)
{
    QFile filler(folder + "/filler");
    if (filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        const QByteArray chunk(512, 'f');
        while (filler.write(chunk) == chunk.size()) {
        }
    }
    int taken = 0;
    while (inodesToo && taken < 100000) {
        QFile empty(folder + QStringLiteral("/inode-%1").arg(taken));
        if (!empty.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        ++taken;
    }
    return taken;
}

// What a save must carry over from the file it replaces: type and rights, owner and group, and
// every extended attribute, the access ACL (system.posix_acl_access) among them, byte for byte.
QByteArray metadata(const QByteArray &name)
{
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return "<missing>";
    QByteArray out =
        QByteArray::number(st.st_mode, 8) + ' ' + QByteArray::number(st.st_uid) + ':' + QByteArray::number(st.st_gid);
    QByteArray names(65536, '\0');
    const ssize_t n = ::listxattr(name.constData(), names.data(), size_t(names.size()));
    names.truncate(qMax<ssize_t>(n, 0));
    QList<QByteArray> sorted = names.split('\0');
    std::sort(sorted.begin(), sorted.end());
    for (const QByteArray &key : sorted) {
        if (key.isEmpty())
            continue;
        QByteArray value(65536, '\0');
        const ssize_t size = ::getxattr(name.constData(), key.constData(), value.data(), size_t(value.size()));
        out += ' ' + key + '=' + value.left(qMax<ssize_t>(size, 0)).toHex();
    }
    return out;
}

// An access ACL as the kernel stores it in system.posix_acl_access: a version and one
// (tag, permissions, id) entry per line of getfacl's output.
QByteArray accessAcl(std::initializer_list<std::array<quint32, 3>> entries)
{
    QByteArray blob;
    const auto put = [&blob](quint32 value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            blob += char((value >> (8 * i)) & 0xFF);
    };
    put(2, 4);
    for (const auto &[tag, perm, id] : entries) {
        put(tag, 2);
        put(perm, 2);
        put(id, 4);
    }
    return blob;
}
enum AclTag : quint32 { UserObj = 0x01, User = 0x02, GroupObj = 0x04, Mask = 0x10, Other = 0x20 };
constexpr quint32 kNoId = 0xFFFFFFFF;

// The names in a folder other than "." and "..", hidden and special ones too, as raw bytes.
QList<QByteArray> entries(const QString &folder)
{
    QList<QByteArray> out;
    if (DIR *dir = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent *entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                out << QByteArray(entry->d_name);
        ::closedir(dir);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The save's temporary files beside timer.ini: ".timer.ini.saving-" and six letters or digits.
QStringList temporaries(const QString &folder)
{
    return QDir(folder).entryList({".timer.ini.saving-??????"}, QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class TestSettingsFile : public QObject {
    Q_OBJECT
private slots:
    void init();
    void firstRunWrites48AnsiBytes();
    void loadAndSaveBack_data();
    void loadAndSaveBack();
    void undecodableTextKeepsTheMarkForTheSave_data();
    void undecodableTextKeepsTheMarkForTheSave();
    void folderNamedLikeTheFile();
    void unreadableFileIsReportedAndLaterOverwritten();
    void readOnlyFileAndFolderStayUnchanged();
    void fullOrReadOnlyDiskKeepsTheOldFile();
    void hugeFileExceedsMemoCapacity();
    void writableFileInReadOnlyFolderIsWrittenInPlace();
    void hardLinksStayLinked();
    void symbolicLinkIsWrittenThrough();
    void replacementKeepsModeOwnerAndGroup();
    void linkToDevNullSavesAsAnOrdinaryUser();
    void relativeLinkThroughLinkedConfigFolder_data();
    void relativeLinkThroughLinkedConfigFolder();
    void blockDeviceIsRefused_data();
    void blockDeviceIsRefused();
    void fifoOrSocketIsRefusedWithoutBlocking_data();
    void fifoOrSocketIsRefusedWithoutBlocking();
    void noFreeInodesKeepsTheOldFile();
    void failedInPlaceWritePutsTheOldBytesBack_data();
    void failedInPlaceWritePutsTheOldBytesBack();
    void saveKeepsWhatItReplaces_data();
    void saveKeepsWhatItReplaces();
    void folderSwappedForALinkDuringTheSave_data();
    void folderSwappedForALinkDuringTheSave();
    void temporaryOfAKilledSaveIsRemovedByTheNext();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_appdata, m_folder, m_path;
};

void TestSettingsFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile::setPermissions(m_dir->path(), QFile::Permissions(0x7755));
    m_appdata = m_dir->path() + "/appdata/";
    m_folder = settingsFolder(m_appdata);
    m_path = settingsFilePath(m_appdata);
}

void TestSettingsFile::firstRunWrites48AnsiBytes()
{
    SettingsFile buffer;
    QVERIFY(!SettingsFile::exists(m_path));
    buffer.save(m_path, m_folder, kInitial);
    const QByteArray bytes = readAll(m_path);
    QCOMPARE(bytes, QByteArray("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n1\r\n1\r\n1\r\n\r\n\r\n\r\n\r\n\r\n\r\n"));
    QCOMPARE(bytes.size(), 48);
    QVERIFY(SettingsFile::exists(m_path));
    QCOMPARE(SettingsFile().load(m_path), kInitial);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files), QStringList{"timer.ini"}); // no temporary left
}

void TestSettingsFile::loadAndSaveBack_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("saved"); // null: the file comes back byte for byte

    const QByteArray none;
    QTest::newRow("empty file") << QByteArray("") << QStringList{} << crlfLines({});
    QTest::newRow("UTF-8 mark only") << QByteArray("\xEF\xBB\xBF") << QStringList{} << "\xEF\xBB\xBF" + crlfLines({});
    QTest::newRow("UTF-16LE mark only") << QByteArray("\xFF\xFE") << QStringList{}
                                        << utf16(QString("\r\n").repeated(kLineCount), true);
    QTest::newRow("UTF-16BE mark only") << QByteArray("\xFE\xFF") << QStringList{}
                                        << utf16(QString("\r\n").repeated(kLineCount), false);
    QTest::newRow("eight lines") << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8")
                                 << QStringList{"1", "2", "3", "4", "5", "6", "7", "8"}
                                 << crlfLines({"1", "2", "3", "4", "5", "6", "7", "8"});
    QByteArray twenty;
    QList<QByteArray> first17;
    QStringList first17Text;
    for (int i = 1; i <= 20; ++i) {
        twenty += QByteArray::number(i) + "\r\n";
        if (i <= kLineCount) {
            first17 << QByteArray::number(i);
            first17Text << QString::number(i);
        }
    }
    QTest::newRow("twenty lines") << twenty << first17Text << crlfLines(first17);
    QTest::newRow("option lines kept exact")
        << crlfLines({"1", "2", "3", "4", "5", "6", "7", "8", "00", " 0", "0 "})
        << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "00", " 0", "0 "} << none;
    QTest::newRow("non-numeric plan line")
        << crlfLines({"abc", " 1", "", "x y"}) << QStringList{"abc", " 1", "", "x y"} << none;
    QTest::newRow("LF only") << QByteArray("a\nb\nc\n") << QStringList{"a", "b", "c"} << crlfLines({"a", "b", "c"});
    QTest::newRow("CR only") << QByteArray("a\rb\rc") << QStringList{"a", "b", "c"} << crlfLines({"a", "b", "c"});
    QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QStringList{"a", "", "b"}
                                         << crlfLines({"a", "", "b"});
    QTest::newRow("CR LF then CR") << QByteArray("a\r\n\rb") << QStringList{"a", "", "b"} << crlfLines({"a", "", "b"});
    QTest::newRow("UTF-8 without mark reads as 1251")
        << crlfLines({"C:\\\xD0\x9C\xD1\x83.wav"}) << QStringList{QStringLiteral("C:\\\u0420\u045A\u0421\u0453.wav")}
        << none;
    QTest::newRow("1251 Cyrillic") << crlfLines({"", "\xCC\xF3\xE7\xFB\xEA\xE0"})
                                   << QStringList{"", QStringLiteral("\u041C\u0443\u0437\u044B\u043A\u0430")} << none;
    QTest::newRow("undefined 1251 byte") << crlfLines({"\x98"}) << QStringList{QString(QChar(0x98))} << none;
    const QByteArray initial16 =
        utf16(QString::fromLatin1(crlfLines({"0", "10", "0", "20", "0", "10", "8", "1", "1", "1", "1"})), true);
    QCOMPARE(initial16.size(), 98);
    QTest::newRow("UTF-16LE initial values, 98 bytes") << initial16 << kInitial << none;
    const QString cyrillic = QStringLiteral("\u041F\u0430\u043F\u043A\u0430\U0001F3B5");
    QTest::newRow("UTF-16BE") << utf16(cyrillic + "\r\n" + QString("\r\n").repeated(16), false) << QStringList{cyrillic}
                              << none;
    QTest::newRow("UTF-8 mark") << "\xEF\xBB\xBF" + crlfLines({cyrillic.toUtf8()}) << QStringList{cyrillic} << none;
    QTest::newRow("second UTF-8 mark is text")
        << "\xEF\xBB\xBF" + crlfLines({"\xEF\xBB\xBFx"}) << QStringList{QStringLiteral("\uFEFFx")} << none;
    const QString lone = QString(QChar(0xDC00)) + "z";
    QTest::newRow("UTF-16 lone surrogate kept")
        << utf16(lone + QString("\r\n").repeated(kLineCount), true) << QStringList{lone} << none;
    QTest::newRow("UTF-16 odd last byte")
        << utf16("a", true) + "b" << QStringList{"a"} << utf16("a" + QString("\r\n").repeated(kLineCount), true);
    QTest::newRow("5000-unit line") << QByteArray(5000, 'x') + "\r\nnext" << QStringList{QString(4096, u'x'), "next"}
                                    << crlfLines({QByteArray(4096, 'x'), "next"});
    QTest::newRow("NUL ends the text") << QByteArray("1\r\n2\0\r\n3\r\n", 10) << QStringList{"1", "2"}
                                       << crlfLines({"1", "2"});
}

void TestSettingsFile::loadAndSaveBack()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, saved);

    QVERIFY(writeAll(m_path, file));
    QVERIFY(SettingsFile::exists(m_path));
    SettingsFile buffer;
    const QStringList loaded = buffer.load(m_path);
    QCOMPARE(loaded, padded(lines));
    buffer.save(m_path, m_folder, loaded);
    QCOMPARE(readAll(m_path), saved.isNull() ? file : saved);
}

void TestSettingsFile::undecodableTextKeepsTheMarkForTheSave_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("mark");
    QTest::newRow("invalid UTF-8") << QByteArray("\xEF\xBB\xBF"
                                                 "1\r\n\xC0\x80\r\n")
                                   << QByteArray("\xEF\xBB\xBF");
    QTest::newRow("UTF-16LE mark + one byte") << QByteArray("\xFF\xFE"
                                                            "1")
                                              << QByteArray("\xFF\xFE");
    QTest::newRow("UTF-16BE mark + one byte") << QByteArray("\xFE\xFF"
                                                            "1")
                                              << QByteArray("\xFE\xFF");
}

void TestSettingsFile::undecodableTextKeepsTheMarkForTheSave()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, mark);
    QVERIFY(writeAll(m_path, file));
    SettingsFile buffer;
    try {
        buffer.load(m_path);
        QFAIL("undecodable text loaded");
    } catch (const SettingsError &e) {
        QCOMPARE(e.message(), noMappingMessage());
    }
    QVERIFY(buffer.rememberedEncoding().has_value());
    buffer.save(m_path, m_folder, kInitial);
    const QByteArray written = readAll(m_path);
    QVERIFY(written.startsWith(mark));
    QCOMPARE(decode(written).lines, kInitial);
    QCOMPARE(decode(written).encoding, detectEncoding(mark));
}

void TestSettingsFile::folderNamedLikeTheFile()
{
    QVERIFY(QDir().mkpath(m_path));
    QVERIFY(!SettingsFile::exists(m_path));
    SettingsFile buffer;
    for (int attempt = 0; attempt < 2; ++attempt) { // every close attempt fails alike
        try {
            buffer.save(m_path, m_folder, kInitial);
            QFAIL("saved over a folder");
        } catch (const SettingsError &e) {
            const QString prefix = QStringLiteral("Cannot create file \"%1\". ").arg(m_path);
            QVERIFY2(e.message().startsWith(prefix) && e.message().size() > prefix.size(), e.what());
        }
    }
    QVERIFY(QFileInfo(m_path).isDir());
}

void TestSettingsFile::unreadableFileIsReportedAndLaterOverwritten()
{
    QVERIFY(writeAll(m_path, "\xEF\xBB\xBF"
                             "5\r\n"));
    QVERIFY(QFile::setPermissions(m_path, {}));
    SettingsFile buffer;
    {
        AsNobody nobody;
        QVERIFY(SettingsFile::exists(m_path));
        try {
            buffer.load(m_path);
            QFAIL("an unreadable file loaded");
        } catch (const SettingsError &e) {
            QCOMPARE(e.message(), cannotOpenMessage(m_path, QStringLiteral("Permission denied")));
        }
    }
    QVERIFY(!buffer.rememberedEncoding().has_value()); // the mark was never seen
    QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner));
    buffer.save(m_path, m_folder, kInitial);
    QCOMPARE(readAll(m_path).size(), 48);
}

void TestSettingsFile::readOnlyFileAndFolderStayUnchanged()
{
    const QByteArray old = crlfLines({"7"});
    QVERIFY(writeAll(m_path, old));
    QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QFile::setPermissions(m_folder, QFile::Permissions(0x7777)));
    // and a settings folder that cannot be made under a folder without rights
    const QString lockedAppdata = m_dir->path() + "/locked/";
    QVERIFY(QDir().mkpath(lockedAppdata));
    QVERIFY(QFile::setPermissions(lockedAppdata, QFile::Permissions(0x5555)));

    AsNobody nobody;
    SettingsFile buffer;
    for (const auto &[path, folder] :
         {std::pair{m_path, m_folder}, std::pair{settingsFilePath(lockedAppdata), settingsFolder(lockedAppdata)}}) {
        try {
            buffer.save(path, folder, kInitial);
            QFAIL("saved without rights");
        } catch (const SettingsError &e) {
            QVERIFY2(e.message().startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(path)), e.what());
            // the folder's creation is what failed, and its reason is the one given
            if (path != m_path)
                QCOMPARE(e.message(), cannotCreateMessage(path, QStringLiteral("Permission denied")));
        }
    }
    QCOMPARE(readAll(m_path), old);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files), QStringList{"timer.ini"});
    QVERIFY(!QFileInfo::exists(settingsFolder(lockedAppdata)));
}

void TestSettingsFile::fullOrReadOnlyDiskKeepsTheOldFile()
{
    const QString mountPoint = m_dir->path() + "/small";
    QVERIFY(QDir().mkpath(mountPoint));
    SmallTmpfs disk(mountPoint, "size=16k,mode=0755");
    if (!disk.isValid())
        QSKIP(qPrintable(disk.error()));

    const QString appdata = mountPoint + "/";
    const QString path = settingsFilePath(appdata), folder = settingsFolder(appdata);
    SettingsFile buffer;
    buffer.save(path, folder, kInitial);
    const QByteArray old = readAll(path);

    fillDisk(mountPoint, false);
    QStringList changed = kInitial;
    changed[0] = QString(3000, u'9');
    try {
        buffer.save(path, folder, changed);
        QFAIL("saved to a full disk");
    } catch (const SettingsError &e) {
        QCOMPARE(e.message(), writeErrorMessage());
    }
    QCOMPARE(readAll(path), old);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"timer.ini"});

    QVERIFY(QFile::remove(mountPoint + "/filler"));
    buffer.save(path, folder, changed); // the next close goes through
    QCOMPARE(SettingsFile().load(path), changed);
    const QByteArray saved = readAll(path);

    QVERIFY(disk.remountReadOnly());
    EXPECT_CANNOT_CREATE(buffer, path, folder, kInitial);
    QCOMPARE(readAll(path), saved);
}

// The file system has room but no inode left: no replacement can be made. The old file must
// not be given up for a write in place (which, once the blocks run out too, left it empty).
void TestSettingsFile::noFreeInodesKeepsTheOldFile()
{
    const QString mountPoint = m_dir->path() + "/small";
    QVERIFY(QDir().mkpath(mountPoint));
    SmallTmpfs disk(mountPoint, "size=32k,nr_inodes=64,mode=0755");
    if (!disk.isValid())
        QSKIP(qPrintable(disk.error()));
    const QString appdata = mountPoint + "/";
    const QString path = settingsFilePath(appdata), folder = settingsFolder(appdata);
    SettingsFile buffer;
    SAVE_OR_FAIL(buffer, path, folder, kInitial);
    const QByteArray old = readAll(path);

    QVERIFY(fillDisk(mountPoint, true) > 0);
    EXPECT_CANNOT_CREATE(buffer, path, folder, largeSettings());
    QCOMPARE(readAll(path), old);
    // Inodes back but still no room: the replacement fails part-way, the old file stays.
    QVERIFY(QFile::remove(mountPoint + "/inode-0"));
    try {
        buffer.save(path, folder, largeSettings());
        QFAIL("saved to a full disk");
    } catch (const SettingsError &e) {
        QCOMPARE(e.message(), writeErrorMessage());
    }
    QCOMPARE(readAll(path), old);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"timer.ini"});
    QVERIFY(QFile::remove(mountPoint + "/filler"));
    SAVE_OR_FAIL(buffer, path, folder, largeSettings());
    QCOMPARE(SettingsFile().load(path), largeSettings());
}

// A file written in place on a disk that fills up during the write: the old settings stay
// (under every name of the file), and the failure is reported.
void TestSettingsFile::failedInPlaceWritePutsTheOldBytesBack_data()
{
    QTest::addColumn<bool>("lockedFolder");
    QTest::newRow("a second hard link") << false;
    QTest::newRow("a locked folder, as an ordinary user") << true;
}

void TestSettingsFile::failedInPlaceWritePutsTheOldBytesBack()
{
    QFETCH(bool, lockedFolder);
    const QString mountPoint = m_dir->path() + "/small";
    QVERIFY(QDir().mkpath(mountPoint));
    SmallTmpfs disk(mountPoint, "size=32k,mode=0755");
    if (!disk.isValid())
        QSKIP(qPrintable(disk.error()));
    const QString appdata = mountPoint + "/";
    const QString path = settingsFilePath(appdata), folder = settingsFolder(appdata);
    const QString other = mountPoint + "/backup-of-timer.ini";
    SettingsFile buffer;
    SAVE_OR_FAIL(buffer, path, folder, kInitial);
    if (lockedFolder) {
        QVERIFY(QFile::setPermissions(path, QFile::Permissions(0x6666)));
        QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x5555)));
    } else {
        QVERIFY(::link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()) == 0);
    }
    const QByteArray old = readAll(path);

    fillDisk(mountPoint, false);
    {
        std::optional<AsNobody> nobody;
        if (lockedFolder)
            nobody.emplace();
        try {
            buffer.save(path, folder, largeSettings());
            QFAIL("saved to a full disk");
        } catch (const SettingsError &e) {
            QCOMPARE(e.message(), writeErrorMessage());
        }
    }
    QCOMPARE(readAll(path), old);
    if (!lockedFolder)
        QCOMPARE(readAll(other), old);
    if (lockedFolder)
        QCOMPARE(QFileInfo(path).permissions(), QFile::Permissions(0x6666));
    QVERIFY(QFile::remove(mountPoint + "/filler"));
    SAVE_OR_FAIL(buffer, path, folder, largeSettings());
    QCOMPARE(SettingsFile().load(path), largeSettings());
}

void TestSettingsFile::hugeFileExceedsMemoCapacity()
{
    QVERIFY(writeAll(m_path, "\xFF\xFE"));
    QFile file(m_path);
    if (!file.resize(kMaxTextBytes + 3)) // sparse: takes no room on disk
        QSKIP("this file system cannot hold a sparse file");
    SettingsFile buffer;
    try {
        buffer.load(m_path);
        QFAIL("a huge file loaded");
    } catch (const SettingsError &e) {
        QCOMPARE(e.message(), memoCapacityMessage());
    }
    QCOMPARE(buffer.rememberedEncoding(), std::optional(TextEncoding::Utf16LE));
}

void TestSettingsFile::writableFileInReadOnlyFolderIsWrittenInPlace()
{
    QVERIFY(writeAll(m_path, crlfLines({"7"})));
    QVERIFY(QFile::setPermissions(m_path, QFile::Permissions(0x6666)));
    QVERIFY(QFile::setPermissions(m_folder, QFile::Permissions(0x5555)));
    auto unlock = qScopeGuard([&] { QFile::setPermissions(m_folder, QFile::Permissions(0x7777)); });
    AsNobody nobody;
    SettingsFile buffer;
    QStringList changed = kInitial;
    changed[16] = QStringLiteral("/home/u/music.mp3");
    SAVE_OR_FAIL(buffer, m_path, m_folder, changed); // no temporary can be made beside it
    QCOMPARE(SettingsFile().load(m_path), changed);
    QCOMPARE(QFileInfo(m_path).permissions(), QFile::Permissions(0x6666));
    QCOMPARE(QDir(m_folder).entryList(QDir::Files), QStringList{"timer.ini"});
    // and again: every close goes through
    SAVE_OR_FAIL(buffer, m_path, m_folder, kInitial);
    QCOMPARE(readAll(m_path).size(), 48);
}

void TestSettingsFile::hardLinksStayLinked()
{
    QVERIFY(writeAll(m_path, crlfLines({"7"})));
    const QString other = m_dir->path() + "/backup-of-timer.ini";
    QVERIFY(::link(QFile::encodeName(m_path).constData(), QFile::encodeName(other).constData()) == 0);
    struct stat before {};
    QVERIFY(::stat(QFile::encodeName(m_path).constData(), &before) == 0);
    SettingsFile fresh;
    SAVE_OR_FAIL(fresh, m_path, m_folder, kInitial);
    struct stat after {};
    QVERIFY(::stat(QFile::encodeName(m_path).constData(), &after) == 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_nlink, nlink_t(2));
    QCOMPARE(readAll(other), readAll(m_path));
    QCOMPARE(readAll(other).size(), 48);
}

void TestSettingsFile::symbolicLinkIsWrittenThrough()
{
    // timer.ini links to a file kept elsewhere (a dotfiles folder), by a relative path.
    const QString elsewhere = m_dir->path() + "/dotfiles/vintra.ini";
    QVERIFY(writeAll(elsewhere, crlfLines({"7"})));
    QVERIFY(QFile::setPermissions(elsewhere, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QVERIFY(QDir().mkpath(m_folder));
    QVERIFY(QFile::link("../../../dotfiles/vintra.ini", m_path));
    QVERIFY(QFileInfo(m_path).isFile());
    SettingsFile buffer;
    QCOMPARE(buffer.load(m_path).first(), "7");
    SAVE_OR_FAIL(buffer, m_path, m_folder, kInitial);
    QVERIFY(QFileInfo(m_path).isSymLink());
    QCOMPARE(QFile::symLinkTarget(m_path), QFileInfo(elsewhere).absoluteFilePath());
    QCOMPARE(readAll(elsewhere).size(), 48);
    QCOMPARE(QFileInfo(elsewhere).permissions() & 0x0FFF, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::System), QStringList{"timer.ini"});
    QCOMPARE(QDir(QFileInfo(elsewhere).path()).entryList(QDir::Files), QStringList{"vintra.ini"});
}

void TestSettingsFile::replacementKeepsModeOwnerAndGroup()
{
    QVERIFY(writeAll(m_path, crlfLines({"7"})));
    QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QByteArray name = QFile::encodeName(m_path);
    const bool root = geteuid() == 0;
    // As root: a file the user owns, in a group of its own; root's save must not take it over.
    if (root)
        QVERIFY(::chown(name.constData(), 65534, 65534) == 0);
    struct stat before {};
    QVERIFY(::stat(name.constData(), &before) == 0);
    SettingsFile fresh;
    SAVE_OR_FAIL(fresh, m_path, m_folder, kInitial);
    struct stat after {};
    QVERIFY(::stat(name.constData(), &after) == 0);
    QVERIFY(after.st_ino != before.st_ino); // replaced, not written over
    QCOMPARE(after.st_mode & 07777, mode_t(0640));
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(readAll(m_path).size(), 48);
}

// Only ever as an ordinary user: as root a save that went wrong here would create files in
// /dev. Under root the save runs in a child process as nobody (setpriv), in a folder of its own.
void TestSettingsFile::linkToDevNullSavesAsAnOrdinaryUser()
{
    QVERIFY(QDir().mkpath(m_folder));
    QVERIFY(QFile::link("/dev/null", m_path));
    const QStringList devBefore = QDir("/dev").entryList(QDir::AllEntries | QDir::System | QDir::Hidden);
    if (geteuid() == 0) {
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("setpriv (util-linux) is needed to save as an ordinary user");
        for (const QString &d : {m_dir->path(), m_appdata, m_appdata + "zelk-soft", m_folder})
            QVERIFY(::lchown(QFile::encodeName(d).constData(), 65534, 65534) == 0);
        QVERIFY(::lchown(QFile::encodeName(m_path).constData(), 65534, 65534) == 0);
        QProcess child;
        child.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                QCoreApplication::applicationFilePath(), "--save-as-helper", m_appdata});
        QVERIFY(child.waitForFinished(30000));
        QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
        QCOMPARE(child.readAllStandardOutput(), QByteArray("saved twice\n"));
    } else {
        SettingsFile buffer;
        SAVE_OR_FAIL(buffer, m_path, m_folder, kInitial);
        SAVE_OR_FAIL(buffer, m_path, m_folder, kInitial);
    }
    QVERIFY(QFileInfo(m_path).isSymLink());
    QCOMPARE(QFile::symLinkTarget(m_path), QStringLiteral("/dev/null"));
    struct stat null {};
    QVERIFY(::stat("/dev/null", &null) == 0);
    QVERIFY(S_ISCHR(null.st_mode));
    QCOMPARE(QDir("/dev").entryList(QDir::AllEntries | QDir::System | QDir::Hidden), devBefore);
}

// The layout dotfile managers make: ~/.config is a link into the dotfiles folder, and timer.ini
// a relative link from there, with "..", to a file kept in the dotfiles. The kernel reads ".."
// in the folder the link really sits in, so the file it names is dotfiles/vintra/timer.ini;
// read as text from ~/.config it would be home/vintra/timer.ini. Only the first may change.
void TestSettingsFile::relativeLinkThroughLinkedConfigFolder_data()
{
    QTest::addColumn<bool>("textualFileExists");
    QTest::addColumn<bool>("realFileExists");
    QTest::newRow("an unrelated file at the textual path") << true << true;
    QTest::newRow("no folder at the textual path") << false << true;
    QTest::newRow("the real file not there yet") << false << false;
}

void TestSettingsFile::relativeLinkThroughLinkedConfigFolder()
{
    QFETCH(bool, textualFileExists);
    QFETCH(bool, realFileExists);
    const QString home = m_dir->path() + "/home", dotfiles = m_dir->path() + "/dotfiles";
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(dotfiles + "/config/zelk-soft/vintra"));
    QVERIFY(QDir().mkpath(dotfiles + "/vintra"));
    QVERIFY(QFile::link("../dotfiles/config", home + "/.config"));
    const QString appdata = home + "/.config/", path = settingsFilePath(appdata), folder = settingsFolder(appdata);
    QVERIFY(QFile::link("../../../vintra/timer.ini", path));
    const QString real = dotfiles + "/vintra/timer.ini", textual = home + "/vintra/timer.ini";
    const QByteArray unrelated = "not the settings\n";
    if (textualFileExists)
        QVERIFY(writeAll(textual, unrelated));
    if (realFileExists)
        QVERIFY(writeAll(real, crlfLines({"7"})));

    SettingsFile buffer;
    QCOMPARE(SettingsFile::exists(path), realFileExists);
    if (realFileExists)
        QCOMPARE(buffer.load(path).first(), "7");
    for (const QStringList &lines : {largeSettings(), kInitial}) { // every close goes through
        SAVE_OR_FAIL(buffer, path, folder, lines);
        QCOMPARE(SettingsFile().load(path), lines);
        QCOMPARE(SettingsFile().load(real), lines);
    }
    QVERIFY(QFileInfo(path).isSymLink());
    QCOMPARE(readAll(real).size(), 48);
    if (textualFileExists)
        QCOMPARE(readAll(textual), unrelated);
    else
        QVERIFY(!QFileInfo::exists(home + "/vintra"));
    QCOMPARE(QDir(dotfiles + "/vintra").entryList(QDir::Files | QDir::Hidden), QStringList{"timer.ini"});
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"timer.ini"});
}

// Run as root, a save that wrote a timer.ini standing for a block device in place put the
// settings over the device's first sector. It must be refused and leave the device alone.
void TestSettingsFile::blockDeviceIsRefused_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::addColumn<bool>("asOwner"); // an ordinary user who may write the device (group disk)
    QTest::newRow("timer.ini is the device") << false << false;
    QTest::newRow("timer.ini links to the device") << true << false;
    QTest::newRow("link to the device, as its owner") << true << true;
}

void TestSettingsFile::blockDeviceIsRefused()
{
    QFETCH(bool, throughLink);
    QFETCH(bool, asOwner);
    QVERIFY(QDir().mkpath(m_folder));
    const QString node = throughLink ? m_dir->path() + "/disk" : m_path;
    LoopDevice device(m_dir->path() + "/disk.img", node);
    if (!device.isValid())
        QSKIP(qPrintable(device.error()));
    if (throughLink)
        QVERIFY(QFile::link("../../../disk", m_path));
    const QByteArray before = device.head(4096);
    QCOMPARE(before, QByteArray(4096, '\0'));
    std::optional<AsNobody> nobody;
    if (asOwner) {
        for (const QString &d : {m_appdata, m_appdata + "zelk-soft", m_folder})
            QVERIFY(::chown(QFile::encodeName(d).constData(), 65534, 65534) == 0);
        QVERIFY(::chown(QFile::encodeName(node).constData(), 65534, 65534) == 0);
        nobody.emplace();
    }
    SettingsFile buffer;
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_CANNOT_CREATE(buffer, m_path, m_folder, kInitial);
    nobody.reset();
    QCOMPARE(device.head(4096), before);
    struct stat after {};
    QVERIFY(::stat(QFile::encodeName(m_path).constData(), &after) == 0);
    QVERIFY(S_ISBLK(after.st_mode));
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{"timer.ini"});
}

// A FIFO or a socket named timer.ini, or linked to by it: opening a FIFO for writing waits for a
// reader that never comes, which froze the close. Each is refused, at once.
void TestSettingsFile::fifoOrSocketIsRefusedWithoutBlocking_data()
{
    QTest::addColumn<bool>("fifo");
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("FIFO") << true << false;
    QTest::newRow("link to a FIFO") << true << true;
    QTest::newRow("socket") << false << false;
    QTest::newRow("link to a socket") << false << true;
}

void TestSettingsFile::fifoOrSocketIsRefusedWithoutBlocking()
{
    QFETCH(bool, fifo);
    QFETCH(bool, throughLink);
    QVERIFY(QDir().mkpath(m_folder));
    // A short socket path: sockaddr_un holds about a hundred bytes.
    const QString special = throughLink ? m_dir->path() + "/s" : m_path;
    std::optional<UnixSocket> socket;
    if (fifo)
        QVERIFY(makeFifo(special));
    else
        QVERIFY2(socket.emplace(special).isValid(), qPrintable(errnoText(errno)));
    if (throughLink)
        QVERIFY(QFile::link(special, m_path));

    SettingsFile buffer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        FifoRescue rescue(special, std::chrono::seconds(10));
        QElapsedTimer took;
        took.start();
        EXPECT_CANNOT_CREATE(buffer, m_path, m_folder, kInitial);
        const bool rescued = rescue.finish();
        qInfo("save refused after %lld us", qlonglong(took.nsecsElapsed() / 1000));
        QVERIFY2(!rescued, "the save waited for a reader of the FIFO until the test opened one after 10 s");
    }
    QVERIFY(QFileInfo(m_path).isSymLink() == throughLink);
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{"timer.ini"});
}

// Each row is a file the kernel lets this user write, with something about it that a new file
// made beside it would lose, or that refuses such a file. Every close goes through, the settings
// reach the file the link names (by its bytes: a name need not be UTF-8), and that file keeps
// its rights, owner, group, ACL and extended attributes exactly: nothing is widened.
void TestSettingsFile::saveKeepsWhatItReplaces_data()
{
    QTest::addColumn<QString>("rig");
    QTest::newRow("an ACL and a user attribute") << "acl";
    QTest::newRow("a link to a missing non-UTF-8 name") << "latin1-missing";
    QTest::newRow("a link to an existing non-UTF-8 name") << "latin1-existing";
    QTest::newRow("a link to a 250-byte name") << "long-name";
    QTest::newRow("another user's file in a sticky shared folder, as nobody") << "sticky";
    QTest::newRow("a write-only file in a read-only folder, as nobody") << "write-only";
}

void TestSettingsFile::saveKeepsWhatItReplaces()
{
    QFETCH(QString, rig);
    const bool root = geteuid() == 0;
    QVERIFY(QDir().mkpath(m_folder));
    const QByteArray folder = QFile::encodeName(m_folder);
    QByteArray real = folder + "timer.ini"; // the file the bytes must reach, as bytes
    const auto make = [&](mode_t mode, uid_t owner) {
        const int fd = ::open(real.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const QByteArray old = crlfLines({"7"});
        const bool ok = fd >= 0 && ::write(fd, old.constData(), size_t(old.size())) == old.size() &&
                        (owner == ::getuid() || ::fchown(fd, owner, owner) == 0) && ::fchmod(fd, mode) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    };
    const auto readReal = [&] {
        QByteArray out(65536, '\0');
        int fd = ::open(real.constData(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 && errno == EACCES && ::stat(real.constData(), &st) == 0) { // our write-only file
            ::chmod(real.constData(), st.st_mode | S_IRUSR);
            fd = ::open(real.constData(), O_RDONLY | O_CLOEXEC);
            ::chmod(real.constData(), st.st_mode);
        }
        const ssize_t n = fd >= 0 ? ::read(fd, out.data(), size_t(out.size())) : -1;
        if (fd >= 0)
            ::close(fd);
        return n < 0 ? QByteArray("<unreadable>") : out.left(n);
    };
    bool asNobody = false;
    auto cleanUp = qScopeGuard([&] { // and a name QTemporaryDir cannot spell
        ::chmod(folder.constData(), 0755);
        ::unlink(folder + "caf\xe9.ini");
    });
    if (rig == "acl") {
        // getfacl: user::rw- user:nobody:rw- group::r-- mask::rw- other::r--
        QVERIFY(make(0664, ::getuid()));
        const QByteArray acl = accessAcl(
            {{UserObj, 6, kNoId}, {User, 6, 65534}, {GroupObj, 4, kNoId}, {Mask, 6, kNoId}, {Other, 4, kNoId}});
        if (::setxattr(real.constData(), "system.posix_acl_access", acl.constData(), size_t(acl.size()), 0) != 0 ||
            ::setxattr(real.constData(), "user.origin", "dotfiles", 8, 0) != 0)
            QSKIP(qPrintable("this file system takes no ACL or user attribute: " + errnoText(errno)));
    } else if (rig.startsWith("latin1")) {
        QVERIFY(::symlink("caf\xe9.ini", real.constData()) == 0);
        real = folder + "caf\xe9.ini";
        if (rig == "latin1-existing")
            QVERIFY(make(0640, ::getuid()));
    } else if (rig == "long-name") {
        const QByteArray name = QByteArray(246, 'n') + ".ini";
        QCOMPARE(name.size(), 250);
        QVERIFY(::symlink(name.constData(), real.constData()) == 0);
        real = folder + name;
        QVERIFY(make(0640, ::getuid()));
    } else if (rig == "sticky") {
        if (!root)
            QSKIP("another user's file needs root to make");
        QVERIFY(make(0666, 0));
        QVERIFY(::chmod(folder.constData(), 01777) == 0);
        asNobody = true;
    } else if (rig == "write-only") {
        QVERIFY(make(0200, root ? 65534 : ::getuid()));
        QVERIFY(::chmod(folder.constData(), 0555) == 0);
        asNobody = true;
    }
    const bool missing = rig == "latin1-missing";
    const QByteArray metaBefore = metadata(real);
    QList<QByteArray> names = entries(m_folder);
    if (missing)
        names = (names << real.mid(folder.size()));
    std::sort(names.begin(), names.end());

    SettingsFile buffer;
    for (const QStringList &lines : {largeSettings(), kInitial}) { // every close goes through
        {
            std::optional<AsNobody> nobody;
            if (asNobody)
                nobody.emplace();
            SAVE_OR_FAIL(buffer, m_path, m_folder, lines);
        }
        QCOMPARE(decode(readReal()).lines, lines);
        if (rig != "write-only") // which no start can read
            QCOMPARE(SettingsFile().load(m_path), lines);
        // the same ACL and attribute bytes, the same mode, owner and group
        if (!missing)
            QCOMPARE(metadata(real), metaBefore);
        QCOMPARE(entries(m_folder), names);
    }
    QVERIFY(QFileInfo(m_path).isSymLink() == (rig.startsWith("latin1") || rig == "long-name"));
}

// The folder above the settings is swapped for a link to another folder after the save found
// its file and before it wrote (a dotfile manager relinking, another hand in a shared folder).
// The save writes where it found the file; the other folder's timer.ini is left alone.
void TestSettingsFile::folderSwappedForALinkDuringTheSave_data()
{
    QTest::addColumn<bool>("hardLinked");
    QTest::newRow("replaced by a new file") << false;
    QTest::newRow("written in place") << true;
}

void TestSettingsFile::folderSwappedForALinkDuringTheSave()
{
    QFETCH(bool, hardLinked);
    QVERIFY(writeAll(m_path, crlfLines({"7"})));
    if (hardLinked)
        QVERIFY(::link(QFile::encodeName(m_path).constData(),
                       QFile::encodeName(m_dir->path() + "/backup").constData()) == 0);
    const QString elsewhere = m_dir->path() + "/elsewhere";
    const QByteArray unrelated = "not the settings\n";
    QVERIFY(writeAll(elsewhere + "/vintra/timer.ini", unrelated));

    const savetarget::Target target = savetarget::resolve(m_path);
    QCOMPARE(int(target.kind), int(hardLinked ? savetarget::Kind::HardLinked : savetarget::Kind::Regular));
    const QString zelk = m_appdata + "zelk-soft";
    QVERIFY(QDir().rename(zelk, zelk + ".aside"));
    QVERIFY(QFile::link(elsewhere, zelk));
    const QByteArray bytes = encode(kInitial, TextEncoding::Ansi);
    const savetarget::Result result =
        hardLinked ? savetarget::writeInPlace(target, bytes) : savetarget::replaceBeside(target, bytes);
    QVERIFY2(result.outcome == savetarget::Outcome::Done, qPrintable(result.reason));
    QCOMPARE(readAll(elsewhere + "/vintra/timer.ini"), unrelated);
    QCOMPARE(entries(elsewhere + "/vintra"), QList<QByteArray>{"timer.ini"});
    QCOMPARE(readAll(zelk + ".aside/vintra/timer.ini"), bytes);
    QCOMPARE(entries(zelk + ".aside/vintra"), QList<QByteArray>{"timer.ini"});
}

namespace {
// The first child of a process, 0 while it has none.
pid_t firstChild(qint64 pid)
{
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    return children.open(QIODevice::ReadOnly) ? pid_t(children.readAll().split(' ').first().toInt()) : 0;
}
// A process's state letter in /proc/PID/stat ('t': held by its tracer, 'Z': dead), 0 when gone.
char processState(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 ? text[close + 2] : char(0);
}
} // namespace

// A save killed while it waits for the disk (a session manager's SIGKILL after a slow fsync)
// leaves its temporary file. The next save removes it, and only it: not a like-named file of
// another user, not one a live save holds, not a name of another shape. The slow disk is a real
// save in a child process that strace holds for a minute as it enters fsync.
void TestSettingsFile::temporaryOfAKilledSaveIsRemovedByTheNext()
{
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty())
        QSKIP("strace is needed to hold a save in fsync");
    SettingsFile buffer;
    SAVE_OR_FAIL(buffer, m_path, m_folder, kInitial);
    const QByteArray old = readAll(m_path);

    QProcess saver;
    // --seccomp-bpf: the child stops for fsync alone, so its tracing stop is the held fsync.
    saver.start(strace,
                {"-f", "--seccomp-bpf", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                 "inject=fsync:delay_enter=60s", QCoreApplication::applicationFilePath(), "--save-once", m_appdata});
    QVERIFY(saver.waitForStarted());
    pid_t tracee = 0;
    auto stopSaver = qScopeGuard([&] {                 // the save first: left alone by strace it would go on
        if (tracee > 0 && processState(tracee) == 't') // still held, so still our save
            ::kill(tracee, SIGKILL);
        if (saver.state() != QProcess::NotRunning) {
            saver.kill();
            saver.waitForFinished(30000);
        }
    });
    const qint64 size = encode(largeSettings(), TextEncoding::Ansi).size();
    bool held = false;
    QElapsedTimer waited;
    waited.start();
    while (!held && waited.elapsed() < 30000 && saver.state() == QProcess::Running) {
        QTest::qWait(20);
        tracee = firstChild(saver.processId());
        const QStringList temps = temporaries(m_folder);
        held = tracee > 0 && temps.size() == 1 && QFileInfo(m_folder + temps[0]).size() == size &&
               processState(tracee) == 't';
    }
    QVERIFY2(held, "the child's save never came to its fsync");
    // The kill is pending while strace holds the save; strace's own end lets it take effect
    // before the fsync runs (a fatal signal cancels a system call at its entry).
    QVERIFY(::kill(tracee, SIGKILL) == 0);
    saver.kill();
    QVERIFY(saver.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(processState(tracee) == 'Z' || processState(tracee) == 0, 30000);
    tracee = 0;                     // gone: its number may be another process's now
    QCOMPARE(readAll(m_path), old); // the killed save cost nothing
    QCOMPARE(temporaries(m_folder).size(), 1);

    // Beside it: a like-named file of another user, one that a live save holds (locked as a save
    // locks its own), and names of another shape, one of them the user's own backup.
    const QString others = m_folder + ".timer.ini.saving-Other1", live = m_folder + ".timer.ini.saving-Live12";
    const QStringList shapes{".timer.ini.saving-abc", "timer.ini.Abc123", "timer.ini.saving-Abc123"};
    for (const QString &name : QStringList{others, live} + shapes)
        QVERIFY(writeAll(name.startsWith('/') ? name : m_folder + name, "keep\n"));
    const bool root = geteuid() == 0;
    if (root)
        QVERIFY(::chown(QFile::encodeName(others).constData(), 65534, 65534) == 0);
    else
        QVERIFY(QFile::remove(others));
    QFile liveFile(live);
    QVERIFY(liveFile.open(QIODevice::ReadWrite));
    QVERIFY(::flock(liveFile.handle(), LOCK_EX | LOCK_NB) == 0);

    SAVE_OR_FAIL(buffer, m_path, m_folder, largeSettings());
    QCOMPARE(SettingsFile().load(m_path), largeSettings());
    QList<QByteArray> kept{"timer.ini", ".timer.ini.saving-Live12"};
    for (const QString &name : shapes)
        kept << name.toUtf8();
    if (root)
        kept << ".timer.ini.saving-Other1";
    std::sort(kept.begin(), kept.end());
    QCOMPARE(entries(m_folder), kept);
    for (const QString &name : shapes)
        QCOMPARE(readAll(m_folder + name), QByteArray("keep\n"));
}

// `--save-as-helper <appdata>`: saves the initial settings twice as the user it runs as, which
// must not be root. Used by linkToDevNullSavesAsAnOrdinaryUser.
static int saveAsHelper(const QString &appdata)
{
    if (geteuid() == 0) {
        std::fputs("refusing to save as root\n", stderr);
        return 3;
    }
    try {
        SettingsFile buffer;
        buffer.save(settingsFilePath(appdata), settingsFolder(appdata), kInitial);
        buffer.save(settingsFilePath(appdata), settingsFolder(appdata), kInitial);
    } catch (const SettingsError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fputs("saved twice\n", stdout);
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--save-as-helper") == 0)
        return saveAsHelper(QString::fromLocal8Bit(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "--save-once") == 0) { // a save for a test to interrupt
        const QString appdata = QString::fromLocal8Bit(argv[2]);
        SettingsFile().save(settingsFilePath(appdata), settingsFolder(appdata), largeSettings());
        return 0;
    }
    TestSettingsFile test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingsfile.moc"
