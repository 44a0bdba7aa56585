// The settings file on Windows, with real files in a temporary folder: what the save writes in
// the system's ANSI code page, and that a read-only or a locked file stays exactly as it was,
// with the system's own reason in the message, while the next save after the lock goes through.

#include "settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace settings;

class TestSettingsFileWin : public QObject {
    Q_OBJECT
private slots:
    void savesSeventeenCrLfLinesInTheCodePage();
    void folderNamesOutsideTheCodePage();
    void readOnlyFileStays();
    void lockedFileStaysAndLaterSaveWorks();
};

namespace {

QStringList values(const QString &first)
{
    QStringList lines{first};
    for (int i = 1; i < kLineCount; ++i)
        lines << QString::number(i);
    return lines;
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

const wchar_t *wide(const QString &path) { return reinterpret_cast<const wchar_t *>(path.utf16()); }

// The save that must fail: the message names the full path with backslashes and gives the
// system's reason; the file keeps its old bytes.
void expectCannotCreate(SettingsFile &settings, const QString &path, const QByteArray &old)
{
    try {
        settings.save(path, QFileInfo(path).path(), values(QStringLiteral("new")));
        QFAIL("the save went through");
    } catch (const SettingsError &e) {
        const QString prefix = QStringLiteral("Cannot create file \"%1\". ").arg(QDir::toNativeSeparators(path));
        QVERIFY2(e.message().startsWith(prefix), qPrintable(e.message()));
        QVERIFY2(e.message().size() > prefix.size(), "the system's reason is missing");
    }
    QCOMPARE(bytesOf(path), old);
}

} // namespace

void TestSettingsFileWin::savesSeventeenCrLfLinesInTheCodePage()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("zelk-soft/vintra"));
    const QString path = folder + QStringLiteral("/timer.ini");
    SettingsFile settings;
    settings.save(path, folder, values(QStringLiteral("C:\\Звуки\\старт.wav")));

    const QByteArray bytes = bytesOf(path);
    QCOMPARE(bytes.count("\r\n"), kLineCount);
    QVERIFY(bytes.endsWith("16\r\n"));
    const QByteArray first = bytes.left(bytes.indexOf("\r\n"));
    if (GetACP() == 1251)
        QCOMPARE(first, QByteArray("C:\\\xC7\xE2\xF3\xEA\xE8\\\xF1\xF2\xE0\xF0\xF2.wav"));
    else if (GetACP() == 1252)
        QCOMPARE(first, QByteArray("C:\\?????\\?????.wav"));
    // No replacement file is left behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("timer.ini")});
}

void TestSettingsFileWin::folderNamesOutsideTheCodePage()
{
    QTemporaryDir dir;
    // Greek is in neither 1251 nor 1252: only wide-character calls reach this folder.
    const QString folder = dir.filePath(QStringLiteral("Ωμέγα/Тренер"));
    const QString path = folder + QStringLiteral("/timer.ini");
    SettingsFile settings;
    settings.save(path, folder, values(QStringLiteral("15")));
    QVERIFY(SettingsFile::exists(path));
    SettingsFile again;
    QCOMPARE(again.load(path), values(QStringLiteral("15")));
    settings.save(path, folder, values(QStringLiteral("20")));
    QCOMPARE(again.load(path).first(), QStringLiteral("20"));
}

void TestSettingsFileWin::readOnlyFileStays()
{
    QTemporaryDir dir;
    const QString path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini")));
    const QByteArray old("old\r\n");
    writeBytes(path, old);
    QVERIFY(SetFileAttributesW(wide(path), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the attribute in the Unix permissions, which do not stop root.
    HANDLE writable = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (writable != INVALID_HANDLE_VALUE) {
        CloseHandle(writable);
        SetFileAttributesW(wide(path), FILE_ATTRIBUTE_NORMAL);
        QSKIP("this system lets the process write a read-only file (Wine run as root)");
    }
    SettingsFile settings;
    expectCannotCreate(settings, path, old);
    QVERIFY(SetFileAttributesW(wide(path), FILE_ATTRIBUTE_NORMAL));
}

void TestSettingsFileWin::lockedFileStaysAndLaterSaveWorks()
{
    QTemporaryDir dir;
    const QString path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini")));
    const QByteArray old("old\r\n");
    writeBytes(path, old);
    // Another program reading the file and letting nobody write or delete it meanwhile.
    HANDLE lock = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(lock != INVALID_HANDLE_VALUE);
    SettingsFile settings;
    expectCannotCreate(settings, path, old);
    CloseHandle(lock);

    settings.save(path, dir.path(), values(QStringLiteral("new")));
    QVERIFY(bytesOf(path).startsWith("new\r\n"));
}

QTEST_GUILESS_MAIN(TestSettingsFileWin)
#include "tst_settingsfile_win.moc"
