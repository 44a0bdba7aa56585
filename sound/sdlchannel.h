#pragma once

// A sound channel played through the program's AudioOutput. Made by AudioOutput::createChannel().

#include "sound/audiooutput.h"
#include "sound/soundchannel.h"

#include <chrono>
#include <memory>

namespace sound {

namespace detail {
struct Voice;
}

class SdlChannel : public SoundChannel {
public:
    SdlChannel(std::shared_ptr<AudioOutput::Impl> output, Stream stream);
    ~SdlChannel() override;
    SdlChannel(const SdlChannel &) = delete;
    SdlChannel &operator=(const SdlChannel &) = delete;

    QString fileName() const override { return m_fileName; }
    void setFileName(const QString &name) override { m_fileName = name; }
    bool isOpen() const override { return m_voice != nullptr; }

    void open() override;
    void close() override;
    void play() override;
    // The mixer starts the sound at the frame of its buffer that `due` falls on.
    void playAt(std::chrono::steady_clock::time_point due) override;
    // The output opens the device ahead of `due`, when it is closed, and keeps it open until then.
    void expectPlayAt(std::chrono::steady_clock::time_point due) override;
    void stop() override;
    void pause() override;
    void setPosition(qint64 frame) override;

    TMPModes mode() const override;
    qint64 position() const override;
    qint64 length() const override;

    // Whether the open sound is streamed from its file rather than decoded whole.
    bool isStreaming() const;
    // When the mixer began the last play: the moment of its first frame by the clock of the
    // callback that first mixed it (the callback's own time plus the frames before it in that
    // buffer), or the moment the service thread, standing in for a callback that did not come,
    // moved it on. For measuring how much of a cue's delay is ours and how much the server's.
    std::chrono::steady_clock::time_point startedAt() const;

private:
    void needOpen() const;

    std::shared_ptr<AudioOutput::Impl> m_out;
    std::shared_ptr<detail::Voice> m_voice;
    Stream m_stream;
    QString m_fileName;
};

} // namespace sound
