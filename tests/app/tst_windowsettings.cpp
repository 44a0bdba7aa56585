// The settings file as the user meets it: what a real window loads at start-up and writes when
// it closes, in a configuration folder of the test's own.

#include "sound/soundtab.h"
#include "specialfiles.h"
#include "windowtestutil.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <unistd.h>

namespace {
const QByteArray kFirstRun = "0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n1\r\n1\r\n1\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
}

class TestWindowSettings : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> config;
    QString folder() const { return config->path() + "/zelk-soft/vintra/"; }
    QString file() const { return folder() + "timer.ini"; }

    void store(const QByteArray &bytes)
    {
        QDir().mkpath(folder());
        QFile f(file());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray stored() const
    {
        QFile f(file());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static QString text(QWidget *w, const char *name) { return child<QLabel>(w, name)->text(); }
    static QComboBox *field(QWidget *w, const char *name) { return child<QComboBox>(w, name); }
    static QCheckBox *box(QWidget *w, const char *name) { return child<QCheckBox>(w, name); }

private slots:
    void initTestCase() { app::applyAppearance(*qApp); }
    void init()
    {
        config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
    }

    void firstRunWritesTheInitialState()
    {
        TForm1 window(fakeChannels());
        QCOMPARE(window.appdata_dir, config->path() + "/");
        QVERIFY(window.sound_dir.endsWith("/sounds/"));
        window.show();
        QVERIFY(!QFile::exists(file()));
        QVERIFY(window.close());
        QCOMPARE(stored(), kFirstRun);
        QCOMPARE(stored().size(), 48);
    }

    void restartRestoresEverything()
    {
        {
            TForm1 window(fakeChannels());
            window.show();
            QComboBox *work = field(&window, "rabota_s");
            work->setFocus();
            work->lineEdit()->selectAll();
            QTest::keyClicks(work, "45");
            field(&window, "cycle")->lineEdit()->selectAll();
            QTest::keyClicks(field(&window, "cycle"), "3");
            QTest::mouseClick(box(&window, "sCheckBox2"), Qt::LeftButton, {}, QPoint(4, 9));
            QTest::mouseClick(box(&window, "sound"), Qt::LeftButton, {}, QPoint(4, 9));
            window.soundTab().edit(3)->setText("/home/тренер/start.wav");
            QVERIFY(window.close());
        }
        TForm1 again(fakeChannels());
        QCOMPARE(field(&again, "rabota_s")->currentText(), "45");
        QCOMPARE(field(&again, "cycle")->currentText(), "3");
        QVERIFY(!box(&again, "sCheckBox2")->isChecked());
        QVERIFY(!box(&again, "sound")->isChecked());
        QVERIFY(box(&again, "sCheckBox1")->isChecked());
        QCOMPARE(again.soundTab().edit(3)->text(), "/home/тренер/start.wav");
        QCOMPARE(again.plan().total_sec, 10 + (45 + 10) * 8 * 3);
        QCOMPARE(text(&again, "Label1"), "22:10");
        QCOMPARE(text(&again, "sPanel5"), "03");
        // Written in the ANSI code page: the Cyrillic letters are single bytes.
        QVERIFY(stored().contains(QByteArray("/home/\xf2\xf0\xe5\xed\xe5\xf0/start.wav\r\n")));
    }

    // A path pasted with the newline a terminal copy adds, and plan fields holding line breaks
    // (set from code, where no paste rule applies): the file keeps exactly seventeen lines, and
    // the next start finds every value on its own line, the music path included.
    void lineBreaksNeverReachTheFile()
    {
        {
            TForm1 window(fakeChannels());
            window.show();
            QLineEdit *over = window.soundTab().edit(1);
            over->setFocus();
            QApplication::clipboard()->setText(QStringLiteral("~/Музыка/new.wav\n"));
            QTest::keyClick(over, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(over->text(), "~/Музыка/new.wav");
            window.soundTab().edit(6)->setText("/home/u/music.mp3");
            field(&window, "podg_s")->setEditText("15\r\n99");
            field(&window, "round")->setEditText("\n7");
            field(&window, "cycle")->setEditText("2\r");
            QVERIFY(window.close());
        }
        const QByteArray bytes = stored();
        QCOMPARE(bytes.count("\r\n"), 17);
        QCOMPARE(bytes.count('\n'), 17);
        QCOMPARE(bytes.count('\r'), 17);
        QVERIFY(bytes.endsWith("\r\n/home/u/music.mp3\r\n"));

        TForm1 again(fakeChannels());
        QCOMPARE(field(&again, "podg_s")->currentText(), "15");
        QCOMPARE(field(&again, "round")->currentText(), "");
        QCOMPARE(field(&again, "cycle")->currentText(), "2");
        QVERIFY(box(&again, "sCheckBox1")->isChecked());
        QVERIFY(box(&again, "sCheckBox2")->isChecked());
        QVERIFY(box(&again, "sound")->isChecked());
        QCOMPARE(again.soundTab().edit(1)->text(), "~/Музыка/new.wav");
        for (int n = 2; n <= 5; ++n)
            QCOMPARE(again.soundTab().edit(n)->text(), "");
        QCOMPARE(again.soundTab().edit(6)->text(), "/home/u/music.mp3");
        // And the close after that writes the same file again: nothing shifts for good.
        QVERIFY(again.close());
        QCOMPARE(stored(), bytes);
    }

    // A writable timer.ini in a folder that takes no new files (the user locked the folder):
    // the close writes the file in place, so the window closes and nothing the user set is lost.
    void writableFileInLockedFolderLetsTheWindowClose()
    {
        store(kFirstRun);
        QVERIFY(QFile::setPermissions(file(), QFile::Permissions(0x6666)));
        QVERIFY(QFile::setPermissions(folder(), QFile::Permissions(0x5555)));
        for (const QString &up : {config->path(), config->path() + "/zelk-soft"})
            QVERIFY(QFile::setPermissions(up, QFile::Permissions(0x7755)));
        const bool root = geteuid() == 0;
        // As root, rights bind only once the file-system user is someone else.
        if (root) {
            setfsgid(65534);
            setfsuid(65534);
        }
        auto back = qScopeGuard([&] {
            if (root) {
                setfsuid(0);
                setfsgid(0);
            }
            QFile::setPermissions(folder(), QFile::Permissions(0x7777));
        });
        ErrorBoxRecorder errors;
        {
            TForm1 window(fakeChannels());
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            field(&window, "cycle")->setEditText("4");
            window.soundTab().edit(6)->setText("/home/u/music.mp3");
            QVERIFY(window.close());
            QVERIFY(!window.isVisible());
        }
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('\n')));
        TForm1 again(fakeChannels());
        QCOMPARE(field(&again, "cycle")->currentText(), "4");
        QCOMPARE(again.soundTab().edit(6)->text(), "/home/u/music.mp3");
        QCOMPARE(QDir(folder()).entryList(QDir::Files), QStringList{"timer.ini"});
    }

    void storedOffOptionStartsANormalWindow()
    {
        store("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n0\r\n00\r\n 0\r\n");
        TForm1 window(fakeChannels());
        QVERIFY(!box(&window, "sCheckBox1")->isChecked());
        QCOMPARE(window.stacking(), TForm1::Stacking::Normal);
        QVERIFY(!(window.windowFlags() & Qt::WindowStaysOnTopHint));
        // Only a lone "0" turns an option off.
        QVERIFY(box(&window, "sCheckBox2")->isChecked());
        QVERIFY(box(&window, "sound")->isChecked());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!(window.windowHandle()->flags() & Qt::WindowStaysOnTopHint));
    }

    void badPlanLineIsShownAndKept()
    {
        ErrorBoxRecorder errors;
        store("0\r\nabc\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n");
        TForm1 window(fakeChannels());
        QCOMPARE(errors.shown, QStringList{"'abc' is not a valid integer value."});
        QCOMPARE(field(&window, "podg_s")->currentText(), "abc");
        QCOMPARE(text(&window, "Label1"), "04:10");
        QVERIFY(window.close());
        QVERIFY(stored().startsWith("0\r\nabc\r\n0\r\n"));
    }

    void emptyFileEmptiesTheFields()
    {
        store("");
        TForm1 window(fakeChannels());
        QCOMPARE(field(&window, "podg_s")->currentText(), "");
        QCOMPARE(field(&window, "cycle")->currentText(), "");
        QVERIFY(box(&window, "sCheckBox1")->isChecked());
        QCOMPARE(text(&window, "Label1"), "04:10");
        QCOMPARE(text(&window, "sPanel4"), "08");
        QVERIFY(window.close());
        QCOMPARE(stored(), QByteArray("\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n1\r\n1\r\n1\r\n\r\n\r\n\r\n\r\n\r\n\r\n"));
    }

    void utf16FileIsWrittenBackWithItsMark()
    {
        QByteArray utf16("\xff\xfe", 2);
        for (QChar c : QStringLiteral("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n1\r\n1\r\n1\r\n"))
            utf16 += char(c.unicode() & 0xff), utf16 += char(c.unicode() >> 8);
        store(utf16);
        TForm1 window(fakeChannels());
        QVERIFY(window.close());
        QCOMPARE(stored().size(), 98);
        QVERIFY(stored().startsWith("\xff\xfe"
                                    "0\0\r\0\n\0"));
    }

    void undecodableFileKeepsItsEncodingForTheSave()
    {
        ErrorBoxRecorder errors;
        store("\xef\xbb\xbf"
              "0\r\n\xff\xfe\r\n");
        TForm1 window(fakeChannels());
        QCOMPARE(errors.shown,
                 QStringList{"No mapping for the Unicode character exists in the target multi-byte code page."});
        QCOMPARE(field(&window, "podg_s")->currentText(), "10");
        QVERIFY(window.close());
        QCOMPARE(stored(), QByteArray("\xef\xbb\xbf") + kFirstRun);
    }

    // ~/.config is a link into a dotfiles folder and timer.ini a relative link with "..", as
    // dotfile managers make them. The kernel finds the file in the dotfiles; the same text read
    // from ~/.config names a folder that does not exist, where every close used to fail.
    void relativeLinkInLinkedConfigFolderLetsTheWindowClose()
    {
        const QString home = config->path() + "/home", dotfiles = config->path() + "/dotfiles";
        QVERIFY(QDir().mkpath(home) && QDir().mkpath(dotfiles + "/config/zelk-soft/vintra"));
        QVERIFY(QDir().mkpath(dotfiles + "/vintra"));
        QVERIFY(QFile::link("../dotfiles/config", home + "/.config"));
        QVERIFY(QFile::link("../../../vintra/timer.ini", home + "/.config/zelk-soft/vintra/timer.ini"));
        const QString real = dotfiles + "/vintra/timer.ini";
        {
            QFile f(real);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n3\r\n");
        }
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config"));
        ErrorBoxRecorder errors;
        {
            TForm1 window(fakeChannels());
            QCOMPARE(field(&window, "cycle")->currentText(), "3");
            window.show();
            field(&window, "cycle")->setEditText("4");
            QVERIFY(window.close());
        }
        QVERIFY2(errors.shown.isEmpty(), qPrintable(errors.shown.join('\n')));
        TForm1 again(fakeChannels());
        QCOMPARE(field(&again, "cycle")->currentText(), "4");
        QVERIFY(QFileInfo(home + "/.config/zelk-soft/vintra/timer.ini").isSymLink());
        QVERIFY(!QFileInfo::exists(home + "/vintra"));
    }

    // A FIFO named timer.ini: opening it for writing waits for a reader, which froze the close
    // (and so also the close that SIGTERM asks for). The close must answer at once with the error
    // and the window stay usable; once the FIFO is gone the next close goes through.
    void fifoSettingsFileDoesNotHoldTheClose()
    {
        QDir().mkpath(folder());
        QVERIFY(specialfiles::makeFifo(file()));
        ErrorBoxRecorder errors;
        TForm1 window(fakeChannels());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        {
            specialfiles::FifoRescue rescue(file(), std::chrono::seconds(10));
            QElapsedTimer took;
            took.start();
            const bool closed = window.close();
            const bool rescued = rescue.finish();
            qInfo("close with a FIFO answered after %lld us", qlonglong(took.nsecsElapsed() / 1000));
            QVERIFY2(!rescued, "the close waited for a reader of the FIFO until the test opened one after 10 s");
            QVERIFY(!closed);
        }
        QVERIFY(window.isVisible());
        QCOMPARE(errors.shown.size(), 1);
        QVERIFY2(errors.shown[0].startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(file())),
                 qPrintable(errors.shown[0]));
        field(&window, "cycle")->setEditText("5"); // the window still answers
        QVERIFY(QFile::remove(file()));
        QVERIFY(window.close());
        QVERIFY(stored().startsWith("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n5\r\n"));
    }

    void folderNamedLikeTheFileKeepsTheWindowOpen()
    {
        ErrorBoxRecorder errors;
        QDir().mkpath(file());
        TForm1 window(fakeChannels());
        window.show();
        QVERIFY(errors.shown.isEmpty());
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(errors.shown.size(), 1);
        QVERIFY2(errors.shown[0].startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(file())),
                 qPrintable(errors.shown[0]));
        // Every later close tries again, and succeeds once the way is clear.
        QVERIFY(!window.close());
        QCOMPARE(errors.shown.size(), 2);
        QVERIFY(QDir(file()).removeRecursively());
        QVERIFY(window.close());
        QCOMPARE(stored(), kFirstRun);
    }
    // What the last round of saves lost at the window: timer.ini linking to a name that is not
    // UTF-8 (a missing file: the settings went to another name and were lost at every start; an
    // existing one: no close went through), and a read-only configuration folder, which the box
    // blamed on a missing file. The window closes with the settings kept, or stays open and
    // answering with the real reason until the way is clear.
    void saveLosesNothingAtTheWindow_data()
    {
        QTest::addColumn<QString>("rig");
        QTest::newRow("link to an existing non-UTF-8 name") << "existing";
        QTest::newRow("link to a missing non-UTF-8 name") << "missing";
        QTest::newRow("read-only configuration folder, as nobody") << "read-only";
    }
    void saveLosesNothingAtTheWindow()
    {
        QFETCH(QString, rig);
        const QByteArray real = QFile::encodeName(folder()) + "caf\xe9.ini";
        auto cleanUp = qScopeGuard([&] {
            ::unlink(real.constData()); // a name QTemporaryDir cannot spell
            QFile::setPermissions(config->path(), QFile::Permissions(0x7755));
        });
        if (rig == "read-only") {
            QVERIFY(QFile::setPermissions(config->path(), QFile::Permissions(0x5555)));
        } else {
            QDir().mkpath(folder());
            QVERIFY(::symlink("caf\xe9.ini", QFile::encodeName(file()).constData()) == 0);
            if (rig == "existing") {
                QFile f;
                QVERIFY(f.open(::open(real.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), QIODevice::WriteOnly,
                               QFile::AutoCloseHandle));
                f.write("0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n3\r\n");
            }
        }
        ErrorBoxRecorder errors;
        {
            TForm1 window(fakeChannels());
            QCOMPARE(field(&window, "cycle")->currentText(), rig == "existing" ? "3" : "1");
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            field(&window, "cycle")->setEditText("4");
            if (rig == "read-only") {
                const bool root = geteuid() == 0;
                if (root) {
                    setfsgid(65534);
                    setfsuid(65534);
                }
                const bool closed = window.close();
                if (root) {
                    setfsuid(0);
                    setfsgid(0);
                }
                QVERIFY(!closed);
                QCOMPARE(errors.shown,
                         QStringList{QStringLiteral("Cannot create file \"%1\". Permission denied.").arg(file())});
                QVERIFY(window.isVisible());
                field(&window, "cycle")->setEditText("5"); // the window still answers
                QVERIFY(QFile::setPermissions(config->path(), QFile::Permissions(0x7755)));
            }
            QVERIFY(window.close());
            QVERIFY(!window.isVisible());
        }
        QCOMPARE(errors.shown.size(), rig == "read-only" ? 1 : 0);
        TForm1 again(fakeChannels());
        QCOMPARE(field(&again, "cycle")->currentText(), rig == "read-only" ? "5" : "4");
        if (rig != "read-only") {
            QVERIFY(QFileInfo(file()).isSymLink());
            QCOMPARE(::access(real.constData(), F_OK), 0);
            // not under the name the old save made of it, with U+FFFD for the byte 0xE9
            QCOMPARE(::access((QFile::encodeName(folder()) + "caf\xef\xbf\xbd.ini").constData(), F_OK), -1);
        }
    }
};

QTEST_MAIN(TestWindowSettings)
#include "tst_windowsettings.moc"
