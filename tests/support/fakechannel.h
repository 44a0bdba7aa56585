#pragma once

// A sound channel for tests: it follows the channel contract without a sound card. Time only
// moves when the test calls advance(). Every operation is written to a journal shared by all
// channels of a test, as "name.op", so tests can check the order of operations across channels.

#include "sound/soundchannel.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <optional>

class FakeChannel : public sound::SoundChannel {
public:
    explicit FakeChannel(QString name = QStringLiteral("channel"), QStringList *journal = nullptr)
        : m_name(std::move(name)), m_journal(journal)
    {
    }

    // Frames a sound has once opened. Files whose text starts with "damaged" fail to open.
    qint64 lengthOnOpen = 1000;
    // When set, play() on the open channel fails with this text, as a back end's device error.
    QString playFailure;

    // The moment the last play was handed over with (playAt); none after a plain play().
    std::optional<std::chrono::steady_clock::time_point> playedFor;
    // The moment of the last play announced (expectPlayAt); a test resets it once read.
    std::optional<std::chrono::steady_clock::time_point> expectedFor;

    QString fileName() const override { return m_fileName; }
    void setFileName(const QString &name) override { m_fileName = name; }
    bool isOpen() const override { return m_open; }

    void open() override
    {
        close();
        log(QStringLiteral("open"));
        if (m_fileName.isEmpty())
            throw sound::MediaError(QStringLiteral("No file name given"));
        QFile f(m_fileName);
        if (!QFileInfo(m_fileName).isFile() || !f.open(QIODevice::ReadOnly))
            throw sound::MediaError(QStringLiteral("System error : No such file or directory."));
        if (f.read(7) == "damaged")
            throw sound::MediaError(QStringLiteral("File contains data in an unknown format."));
        m_open = true;
        m_openedFile = m_fileName;
        m_position = 0;
        m_length = lengthOnOpen;
        m_mode = sound::TMPModes::mpStopped;
    }
    void close() override
    {
        if (!m_open)
            return;
        m_open = false;
        m_position = 0;
        m_mode = sound::TMPModes::mpNotReady;
    }
    void play() override
    {
        need(QStringLiteral("play"));
        if (!playFailure.isEmpty())
            throw sound::MediaError(playFailure);
        if (m_position == m_length)
            m_position = 0;
        m_mode = sound::TMPModes::mpPlaying;
        playedFor.reset();
    }
    // Journalled as a play: when it is heard is the back end's business.
    void playAt(std::chrono::steady_clock::time_point due) override
    {
        play();
        playedFor = due;
    }
    // Not journalled: a hint, which changes nothing the journal shows.
    void expectPlayAt(std::chrono::steady_clock::time_point due) override { expectedFor = due; }
    void stop() override
    {
        need(QStringLiteral("stop"));
        m_mode = sound::TMPModes::mpStopped;
    }
    void pause() override
    {
        need(QStringLiteral("pause"));
        if (m_mode == sound::TMPModes::mpPlaying)
            m_mode = sound::TMPModes::mpPaused;
        else if (m_mode == sound::TMPModes::mpPaused)
            m_mode = sound::TMPModes::mpPlaying;
    }
    void setPosition(qint64 frame) override
    {
        need(QStringLiteral("setPosition %1").arg(frame));
        m_position = std::clamp<qint64>(frame, 0, m_length);
    }
    sound::TMPModes mode() const override { return m_open ? m_mode : sound::TMPModes::mpNotReady; }
    qint64 position() const override { return m_open ? m_position : 0; }
    qint64 length() const override
    {
        if (!m_open)
            throw sound::NoDeviceOpen();
        return m_length;
    }

    // Test helpers.
    void advance(qint64 frames)
    {
        if (m_mode != sound::TMPModes::mpPlaying)
            return;
        m_position = std::min(m_length, m_position + frames);
        if (m_position == m_length)
            m_mode = sound::TMPModes::mpStopped;
    }
    bool playing() const { return mode() == sound::TMPModes::mpPlaying; }
    QString openedFile() const { return m_open ? m_openedFile : QString(); }
    const QString &name() const { return m_name; }

private:
    void log(const QString &op)
    {
        if (m_journal)
            m_journal->append(m_name + QLatin1Char('.') + op);
    }
    void need(const QString &op)
    {
        log(op);
        if (!m_open)
            throw sound::NoDeviceOpen();
    }

    QString m_name;
    QStringList *m_journal;
    QString m_fileName;
    QString m_openedFile;
    bool m_open = false;
    qint64 m_position = 0;
    qint64 m_length = 0;
    sound::TMPModes m_mode = sound::TMPModes::mpNotReady;
};
