// The settings file on Windows, with real files in a temporary folder: what the save writes in
// the system's ANSI code page (also with UTF-8 as that code page, where a file written before
// must read as it was written), that a read-only or a locked file stays exactly as it was, with
// the system's own reason in the message, while a file another program holds open only for a
// moment is saved all the same, that a replacement failing after the old file was taken away
// loses nothing, and that the leftovers of a killed save, and only those, go.

#include "settings/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace settings;

class TestSettingsFileWin : public QObject {
    Q_OBJECT
private slots:
    void savesSeventeenCrLfLinesInTheCodePage();
    void fileOfEitherCodePageComesBackAsItWas();
    void folderNamesOutsideTheCodePage();
    void readOnlyFileStays();
    void lockedFileStaysAndLaterSaveWorks();
    void fileHeldOpenForAMomentIsSaved();
    void oldFileGoneAndRenameRefusedLosesNothing();
    void leftoversOfAKilledSaveGoOthersStay();
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

// The code page this user's ANSI text is in: the system's, or with UTF-8 as the system's ANSI
// code page (the test run sets that up with a Unicode-only LC_CTYPE) the user locale's own.
UINT localeCodePage()
{
    if (GetACP() != CP_UTF8)
        return GetACP();
    DWORD codePage = 0;
    GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                    reinterpret_cast<LPWSTR>(&codePage), sizeof codePage / sizeof(wchar_t));
    return codePage;
}

// The other program of fileHeldOpenForAMomentIsSaved: opens the file for reading, letting others
// only read it (as a virus scanner, an indexer or a sync client does right after a change), says
// so by making the file `held`, and lets go after the given span.
int holdOpen(const QString &path, const QString &held, int milliseconds)
{
    const HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 2;
    CloseHandle(CreateFileW(wide(held), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    Sleep(DWORD(milliseconds)); // the span is the input: how long the other program holds on
    CloseHandle(file);
    return 0;
}

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
    if (localeCodePage() == 1251)
        QCOMPARE(first, QByteArray("C:\\\xC7\xE2\xF3\xEA\xE8\\\xF1\xF2\xE0\xF0\xF2.wav"));
    else if (GetACP() == 1252)
        QCOMPARE(first, QByteArray("C:\\?????\\?????.wav"));
    // No replacement file is left behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{QStringLiteral("timer.ini")});
}

// The Cyrillic path as a Russian Windows wrote it (1251), and one with Greek written as UTF-8
// while UTF-8 was the system's ANSI code page: each reads as it was meant where its code page
// is the user's, nothing reads as U+FFFD anywhere, and both are written back byte for byte.
void TestSettingsFileWin::fileOfEitherCodePageComesBackAsItWas()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("timer.ini"));
    const QByteArray cyrillic("C:\\\xC7\xE2\xF3\xEA\xE8\\\xF1\xF2\xE0\xF0\xF2.wav");
    const QByteArray greek("C:\\\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1.wav");
    for (const QByteArray &first : {cyrillic, greek}) {
        QByteArray old = first + "\r\n";
        for (int i = 1; i < kLineCount; ++i)
            old += QByteArray::number(i) + "\r\n";
        writeBytes(path, old);
        SettingsFile settings;
        const QStringList lines = settings.load(path);
        QVERIFY2(!lines.join(QString()).contains(QChar::ReplacementCharacter), qPrintable(lines.first()));
        if (first == cyrillic && localeCodePage() == 1251)
            QCOMPARE(lines.first(), QStringLiteral("C:\\Звуки\\старт.wav"));
        if (first == greek && GetACP() == CP_UTF8)
            QCOMPARE(lines.first(), QStringLiteral("C:\\Ωμέγα.wav"));
        settings.save(path, dir.path(), lines);
        QCOMPARE(bytesOf(path), old);
    }
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

    // Beyond MAX_PATH (260): the long form of every name.
    const QString deep = dir.filePath(QStringLiteral("Тренер-").repeated(40));
    QVERIFY(deep.size() > MAX_PATH);
    settings.save(deep + QStringLiteral("/timer.ini"), deep, values(QStringLiteral("25")));
    QCOMPARE(again.load(deep + QStringLiteral("/timer.ini")).first(), QStringLiteral("25"));
    settings.save(deep + QStringLiteral("/timer.ini"), deep, values(QStringLiteral("30")));
    QCOMPARE(again.load(deep + QStringLiteral("/timer.ini")).first(), QStringLiteral("30"));
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

// Another program reads the file for 400 ms just as the window closes: the save waits it out.
void TestSettingsFileWin::fileHeldOpenForAMomentIsSaved()
{
    QTemporaryDir dir;
    const QString path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini")));
    writeBytes(path, "old\r\n");
    const QString held = dir.filePath(QStringLiteral("held"));
    QProcess other;
    other.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--hold-open"), path, QDir::toNativeSeparators(held), QStringLiteral("400")});
    QVERIFY2(other.waitForStarted(20000), qPrintable(other.errorString()));
    QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(held) || other.state() == QProcess::NotRunning,
                              "the other program never held the file", 20000);
    QVERIFY2(QFile::exists(held), "the other program could not open the file");
    SettingsFile settings;
    try {
        settings.save(path, dir.path(), values(QStringLiteral("new")));
    } catch (const SettingsError &e) {
        other.kill();
        other.waitForFinished(5000);
        QFAIL(qPrintable(e.message()));
    }
    QVERIFY(bytesOf(path).startsWith("new\r\n"));
    if (!other.waitForFinished(20000))
        other.kill();
    other.waitForFinished(5000);
    QCOMPARE(other.exitCode(), 0);
}

// ReplaceFileW deletes the old file before it gives the new one its name; when that fails
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT) and so does the rename after it, the new file is the only
// copy. Under Wine a Unix folder may hold "timer.ini" and "TIMER.INI" at once, and Wine finds
// either under the other's name: ReplaceFileW takes timer.ini away, finds the name taken, and
// the rename over TIMER.INI is refused while another program holds that open. The settings
// must be in the file the message names, and the next save puts them back in place.
void TestSettingsFileWin::oldFileGoneAndRenameRefusedLosesNothing()
{
    using UnixName = char *(__cdecl *)(const wchar_t *);
    // Through void (*)(), which may stand for any function type.
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!unixName)
        QSKIP("only Wine gives a folder two names that differ in case alone");
    QTemporaryDir dir;
    const QString path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini")));
    writeBytes(path, "old\r\n");
    char *unixFolder = unixName(wide(QDir::toNativeSeparators(dir.path())));
    QVERIFY(unixFolder);
    const QString twin = QString::fromUtf8(unixFolder) + QStringLiteral("/TIMER.INI");
    HeapFree(GetProcessHeap(), 0, unixFolder);
    // A Unix program, as only that can make the second name; Wine tells nothing of how it ended.
    QVERIFY(QProcess::startDetached(QStringLiteral("Z:\\bin\\sh"),
                                    {QStringLiteral("-c"), QStringLiteral("echo other > \"$0\""), twin}));
    QTRY_COMPARE_WITH_TIMEOUT(QDir(dir.path()).entryList(QDir::Files).size(), 2, 20000);
    const HANDLE other =
        CreateFileW(wide(dir.filePath(QStringLiteral("TIMER.INI"))), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(other != INVALID_HANDLE_VALUE);

    SettingsFile settings;
    QString message;
    try {
        settings.save(path, dir.path(), values(QStringLiteral("new")));
    } catch (const SettingsError &e) {
        message = e.message();
    }
    CloseHandle(other);
    // Saved in place, or kept where the message says.
    const QString said = QStringLiteral(" The settings are in \"");
    QString where = path;
    if (!message.isEmpty()) {
        QVERIFY2(message.contains(said), qPrintable(message));
        where = message.mid(message.indexOf(said) + said.size());
        where.truncate(where.indexOf(QLatin1Char('"')));
    }
    QVERIFY2(bytesOf(where).startsWith("new\r\n"), qPrintable(message));

    settings.save(path, dir.path(), values(QStringLiteral("later")));
    QVERIFY(bytesOf(path).startsWith("later\r\n"));
    const QStringList left = QDir(dir.path()).entryList(QDir::Files);
    QVERIFY2(left.size() == 1 && left.first().compare(QLatin1String("timer.ini"), Qt::CaseInsensitive) == 0,
             qPrintable(left.join(QLatin1Char(' '))));
}

// A save killed part-way leaves its new file under a name of its own beside timer.ini. The next
// save that succeeds removes those, but not one a running save still writes, nor anything that
// only looks similar.
void TestSettingsFileWin::leftoversOfAKilledSaveGoOthersStay()
{
    QTemporaryDir dir;
    const QString path = QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini")));
    writeBytes(path, "old\r\n");
    const QStringList ours{QStringLiteral("timer.ini.saving-a1B2c3"), QStringLiteral("timer.ini.saving-zzzzzz")};
    const QStringList others{QStringLiteral("timer.ini.backup"),
                             QStringLiteral("timer.ini.saving-a1B2c"),
                             QStringLiteral("timer.ini.saving-a1B2c3.txt"),
                             QStringLiteral("timer.ini.saving-a1B_c3"),
                             QStringLiteral("other.ini.saving-a1B2c3"),
                             QStringLiteral("timer.ini.saving-inuse1")};
    for (const QString &name : ours + others)
        writeBytes(dir.filePath(name), "partial");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("timer.ini.saving-folder")));
    // A save still writing holds its file without sharing.
    const HANDLE live =
        CreateFileW(wide(QDir::toNativeSeparators(dir.filePath(QStringLiteral("timer.ini.saving-inuse1")))),
                    GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(live != INVALID_HANDLE_VALUE);
    SettingsFile settings;
    settings.save(path, dir.path(), values(QStringLiteral("new")));
    CloseHandle(live);

    QStringList expected = others;
    expected << QStringLiteral("timer.ini") << QStringLiteral("timer.ini.saving-folder");
    expected.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name), expected);
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 5 && arguments[1] == QLatin1String("--hold-open"))
        return holdOpen(arguments[2], arguments[3], arguments[4].toInt());
    TestSettingsFileWin test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingsfile_win.moc"
