#pragma once

// A sounds folder in a fresh temporary folder, laid out as beside the executable, holding every
// default cue file. The files' content is a placeholder: the fake channels only look at whether a
// file exists and whether its content starts with "damaged".

#include "sound/cueset.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

struct CueFolder {
    QTemporaryDir dir;
    QString soundDir;

    CueFolder()
    {
        QVERIFY(dir.isValid());
        soundDir = sound::soundDirFor(dir.filePath(QStringLiteral("vintra")));
        QVERIFY(QDir().mkpath(soundDir));
        for (const char *name : sound::kDefaultCueFiles)
            write(soundDir + QString::fromLatin1(name));
    }
    static void write(const QString &path, const QByteArray &content = "RIFF-cue")
    {
        QFile f(path);
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
        QCOMPARE(f.write(content), content.size());
    }
    void removeCue(const char *name) { QVERIFY(QFile::remove(soundDir + QString::fromLatin1(name))); }
};
