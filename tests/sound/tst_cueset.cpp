// The cue set against real files in a temporary folder, with fake channels that open what
// exists and fail on files whose content starts with "damaged".

#include "cuefolder.h"
#include "fakechannel.h"
#include "sound/cueset.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using sound::CueChannels;
using sound::PrepareCues;

namespace {

const QStringList kNames = {"over", "rest", "start", "tick", "work", "music"};

// Six channels in path-field order sharing one journal, and a sounds folder with all defaults.
struct CueRig : CueFolder {
    QStringList journal;
    std::array<std::unique_ptr<FakeChannel>, sound::kCueCount> ch;
    sound::CueFieldTexts fields;
    CueChannels cues;

    CueRig()
    {
        for (int i = 0; i < sound::kCueCount; ++i)
            ch[i] = std::make_unique<FakeChannel>(kNames[i], &journal);
        cues = {ch[0].get(), ch[1].get(), ch[2].get(), ch[3].get(), ch[4].get(), ch[5].get()};
    }
    void prepare() { PrepareCues(cues, fields, soundDir); }
    FakeChannel &over() { return *ch[0]; }
    FakeChannel &rest() { return *ch[1]; }
    FakeChannel &start() { return *ch[2]; }
    FakeChannel &tick() { return *ch[3]; }
    FakeChannel &work() { return *ch[4]; }
    FakeChannel &music() { return *ch[5]; }
};

} // namespace

class TestCueSet : public QObject {
    Q_OBJECT
private slots:
    void soundDirFor_data();
    void soundDirFor();
    void soundDirOfThisExecutable();
    void namesExistingFile();
    void defaultsOpenInOrder();
    void overrideReplacesOnlyItsCue();
    void deletedOverrideFallsBack();
    void folderCountsAsNoFile();
    void missingDefaultLeavesChannelClosed();
    void missingFileKeepsEarlierChannel();
    void reopensAfreshEachStart();
    void damagedFileStopsTheOpening();
    void longFolderPath();
};

void TestCueSet::soundDirFor_data()
{
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QString>("dir");
#ifdef Q_OS_WIN
    // Windows separates folders with "\\" or "/" and ends a drive with ":"; the folder is written
    // back with backslashes, as the sound tab shows it.
    QTest::newRow("plain") << "C:\\Program Files\\Vintra\\vintra.exe"
                           << "C:\\Program Files\\Vintra\\sounds\\";
    QTest::newRow("forward slashes") << "C:/Vintra/vintra.exe"
                                     << "C:\\Vintra\\sounds\\";
    QTest::newRow("drive only") << "D:vintra.exe"
                                << "D:sounds\\";
    QTest::newRow("no folder") << "vintra.exe"
                               << "sounds\\";
    QTest::newRow("network share") << "\\\\server\\share\\vintra.exe"
                                   << "\\\\server\\share\\sounds\\";
    QTest::newRow("cyrillic") << "C:\\Users\\тренер\\Программы\\vintra.exe"
                              << "C:\\Users\\тренер\\Программы\\sounds\\";
#else
    QTest::newRow("plain") << "/opt/vintra/bin/vintra"
                           << "/opt/vintra/bin/sounds/";
    QTest::newRow("root") << "/vintra"
                          << "/sounds/";
    QTest::newRow("no folder") << "vintra"
                               << "sounds/";
    QTest::newRow("relative") << "bin/vintra"
                              << "bin/sounds/";
    QTest::newRow("cyrillic") << "/home/тренер/Программы/vintra"
                              << "/home/тренер/Программы/sounds/";
    // Only "/" separates folders here; a backslash or colon is part of a name.
    QTest::newRow("backslash in name") << "/a/b\\c:d/vintra"
                                       << "/a/b\\c:d/sounds/";
    const QString deep = QStringLiteral("/x").repeated(3000); // far beyond any fixed buffer
    QTest::newRow("6000 characters") << deep + "/vintra" << deep + "/sounds/";
#endif
}

void TestCueSet::soundDirFor()
{
    QFETCH(QString, exe);
    QFETCH(QString, dir);
    QCOMPARE(sound::soundDirFor(exe), dir);
}

void TestCueSet::soundDirOfThisExecutable()
{
    QCOMPARE(sound::soundDirFor(QCoreApplication::applicationFilePath()),
             QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/sounds/"));
}

void TestCueSet::namesExistingFile()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("cue.wav"), folder = dir.filePath("folder.wav");
    CueRig::write(file);
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(sound::namesExistingFile(file));
    QVERIFY(!sound::namesExistingFile(QString()));
    QVERIFY(!sound::namesExistingFile(folder));
    QVERIFY(!sound::namesExistingFile(dir.filePath("gone.wav")));
    QVERIFY(!sound::namesExistingFile(file + " ")); // the text is not trimmed
#ifndef Q_OS_WIN
    // Symbolic links; on Windows QFile::link makes a shell shortcut instead, a file of its own.
    QVERIFY(QFile::link(file, dir.filePath("link.wav")));
    QVERIFY(QFile::link(folder, dir.filePath("folderlink.wav")));
    QVERIFY(QFile::link(dir.filePath("gone.wav"), dir.filePath("dangling.wav")));

    QVERIFY(sound::namesExistingFile(dir.filePath("link.wav")));
    QVERIFY(!sound::namesExistingFile(dir.filePath("folderlink.wav")));
    QVERIFY(!sound::namesExistingFile(dir.filePath("dangling.wav")));
#endif
}

void TestCueSet::defaultsOpenInOrder()
{
    CueRig rig;
    rig.prepare();
    for (int i = 0; i < sound::kCueCount; ++i) {
        QCOMPARE(rig.ch[i]->fileName(), rig.soundDir + sound::kDefaultCueFiles[i]);
        QCOMPARE(rig.ch[i]->openedFile(), rig.ch[i]->fileName());
        QCOMPARE(rig.ch[i]->mode(), sound::TMPModes::mpStopped);
    }
    QCOMPARE(rig.soundDir, QDir::toNativeSeparators(rig.dir.path() + "/sounds/"));
    QCOMPARE(rig.journal,
             QStringList({"over.open", "rest.open", "start.open", "work.open", "tick.open", "music.open"}));
}

void TestCueSet::overrideReplacesOnlyItsCue()
{
    CueRig rig;
    QDir(rig.dir.path()).mkdir("mine");
    // Kept exactly as typed, "./" included.
    const QString tick = rig.dir.path() + "/mine/./my tick.WAV";
    const QString music = rig.dir.filePath("mine/song.mp3");
    CueRig::write(tick);
    CueRig::write(music);
    rig.fields[3] = tick;
    rig.fields[5] = music;
    rig.prepare();
    QCOMPARE(rig.tick().openedFile(), tick);
    QCOMPARE(rig.music().openedFile(), music);
    QCOMPARE(rig.over().openedFile(), rig.soundDir + "over.wav");
    QCOMPARE(rig.work().openedFile(), rig.soundDir + "Work.wav");
}

void TestCueSet::deletedOverrideFallsBack()
{
    CueRig rig;
    const QString rest = rig.dir.filePath("rest-own.wav");
    CueRig::write(rest);
    rig.fields[1] = rest;
    rig.prepare();
    QCOMPARE(rig.rest().openedFile(), rest);

    QVERIFY(QFile::remove(rest));
    rig.prepare();
    QCOMPARE(rig.rest().fileName(), rig.soundDir + "Rest.wav");
    QCOMPARE(rig.rest().openedFile(), rig.soundDir + "Rest.wav");
}

void TestCueSet::folderCountsAsNoFile()
{
    CueRig rig;
    rig.fields[0] = rig.dir.path();
    rig.fields[4] = rig.soundDir; // a folder that exists and even holds the cues
    rig.prepare();
    QCOMPARE(rig.over().openedFile(), rig.soundDir + "over.wav");
    QCOMPARE(rig.work().openedFile(), rig.soundDir + "Work.wav");
}

void TestCueSet::missingDefaultLeavesChannelClosed()
{
    CueRig rig;
    QVERIFY(QFile::remove(rig.soundDir + "Tick.wav"));
#ifndef Q_OS_WIN
    // Default names are matched in their exact case: a lower-case tick.wav is another file (on
    // Windows it is the same file, and opens).
    CueRig::write(rig.soundDir + "tick.wav");
#endif
    rig.prepare();
    QCOMPARE(rig.tick().fileName(), rig.soundDir + "Tick.wav");
    QVERIFY(!rig.tick().isOpen());
    QVERIFY(rig.music().isOpen()); // the channels after it still open
    QVERIFY(!rig.journal.contains("tick.open"));

    for (auto op : {&sound::SoundChannel::play, &sound::SoundChannel::stop, &sound::SoundChannel::pause}) {
        try {
            (rig.tick().*op)();
            QFAIL("an operation on a channel that is not open must fail");
        } catch (const sound::MediaError &e) {
            QCOMPARE(e.message(), QString("No MCI device open"));
        }
    }
    QVERIFY_THROWS_EXCEPTION(sound::MediaError, rig.tick().setPosition(0));
}

void TestCueSet::missingFileKeepsEarlierChannel()
{
    CueRig rig;
    const QString own = rig.dir.filePath("own-work.wav");
    CueRig::write(own);
    rig.fields[4] = own;
    rig.prepare();
    rig.work().play();
    rig.work().advance(300);
    rig.work().stop();

    // Both the chosen file and the default disappear before the next START.
    QVERIFY(QFile::remove(own));
    QVERIFY(QFile::remove(rig.soundDir + "Work.wav"));
    rig.journal.clear();
    rig.prepare();
    QCOMPARE(rig.work().fileName(), rig.soundDir + "Work.wav");
    QCOMPARE(rig.work().openedFile(), own); // still the file of the earlier START
    QCOMPARE(rig.work().position(), 300);
    QCOMPARE(rig.journal, QStringList({"over.open", "rest.open", "start.open", "tick.open", "music.open"}));
}

void TestCueSet::reopensAfreshEachStart()
{
    CueRig rig;
    rig.prepare();
    rig.music().play();
    rig.music().advance(600);
    rig.music().pause();
    rig.prepare();
    QCOMPARE(rig.music().mode(), sound::TMPModes::mpStopped);
    QCOMPARE(rig.music().position(), 0);
}

void TestCueSet::damagedFileStopsTheOpening()
{
    CueRig rig;
    rig.prepare();
    rig.music().play();
    rig.music().advance(500);
    for (auto *c : {&rig.over(), &rig.rest()}) {
        c->play();
        c->advance(100);
    }

    const QString song = rig.dir.filePath("song.mp3");
    CueRig::write(song);
    rig.fields[5] = song;
    CueRig::write(rig.soundDir + "Start.wav", "damaged beyond repair");
    rig.journal.clear();
    try {
        rig.prepare();
        QFAIL("a damaged cue file must stop the preparation");
    } catch (const sound::MediaError &e) {
        QCOMPARE(e.message(), QString("File contains data in an unknown format."));
    }
    QCOMPARE(rig.journal, QStringList({"over.open", "rest.open", "start.open"}));
    QVERIFY(rig.over().isOpen() && rig.over().position() == 0);
    QVERIFY(rig.rest().isOpen() && rig.rest().position() == 0);
    QVERIFY(!rig.start().isOpen());
    // Every file was resolved before the opening began, but the music still plays the old one.
    QCOMPARE(rig.music().fileName(), song);
    QCOMPARE(rig.music().openedFile(), rig.soundDir + "vintra.mp3");
    QVERIFY(rig.music().playing());
    QCOMPARE(rig.music().position(), 500);
}

void TestCueSet::longFolderPath()
{
    CueRig rig;
    QString folder = rig.dir.path();
    while (folder.size() < 400)
        folder += "/a-rather-long-folder-name";
    const QString exe = folder + "/vintra";
    const QString soundDir = sound::soundDirFor(exe);
    QVERIFY(QDir().mkpath(soundDir));
    for (const char *name : sound::kDefaultCueFiles)
        CueRig::write(soundDir + name);
    PrepareCues(rig.cues, rig.fields, soundDir);
    for (int i = 0; i < sound::kCueCount; ++i)
        QCOMPARE(rig.ch[i]->openedFile(), QDir::toNativeSeparators(folder + "/sounds/") + sound::kDefaultCueFiles[i]);
}

QTEST_GUILESS_MAIN(TestCueSet)
#include "tst_cueset.moc"
