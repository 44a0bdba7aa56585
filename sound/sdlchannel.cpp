#include "sound/sdlchannel.h"
#include "sound/audiooutput_p.h"
#include "sound/soundfileopen.h"

#include <algorithm>
#include <mutex>

namespace sound {

namespace detail {

namespace {

// Sounds up to this long are decoded whole when opened; longer ones (the music) are streamed,
// because an hour of decoded stereo floats would take over a gigabyte.
constexpr double kWholeSeconds = 30.0;
constexpr int kChunkFrames = 4096; // frames per libsndfile read
constexpr int kRingSeconds = 2;    // decode-ahead of a streaming voice

// Appends everything the converter has ready to `out`.
void drainInto(SDL_AudioStream *converter, std::vector<float> &out)
{
    const int bytes = SDL_AudioStreamAvailable(converter);
    if (bytes <= 0)
        return;
    const size_t old = out.size();
    out.resize(old + size_t(bytes) / sizeof(float));
    const int got = SDL_AudioStreamGet(converter, out.data() + old, bytes);
    out.resize(old + size_t(std::max(got, 0)) / sizeof(float));
}

} // namespace

Voice::~Voice()
{
    if (file)
        sf_close(file);
    if (converter)
        SDL_FreeAudioStream(converter);
}

void Voice::load(const QString &path, const SDL_AudioSpec &out, MixLock &mix)
{
    SF_INFO info{};
    file = openSoundFile(path, &info);
    if (!file)
        throw MediaError(QString::fromUtf8(sf_strerror(nullptr)));
    fileRate = info.samplerate;
    fileChannels = info.channels;
    outRate = out.freq;
    converter = SDL_NewAudioStream(AUDIO_F32SYS, Uint8(std::clamp(fileChannels, 0, 255)), fileRate, AUDIO_F32SYS,
                                   kOutChannels, outRate);
    if (!converter)
        throw MediaError(QString::fromUtf8(SDL_GetError()));
    decodeBuf.resize(size_t(kChunkFrames) * size_t(fileChannels));

    streaming = double(info.frames) / fileRate > kWholeSeconds;
    if (streaming) {
        fileLength = info.frames;
        ringFrames = qint64(outRate) * kRingSeconds;
        ring.assign(size_t(ringFrames) * kOutChannels, 0.0f);
        convBuf.resize(size_t(kChunkFrames) * kOutChannels);
        refill(mix); // the first Play must not wait for the service thread
        return;
    }

    pcm.reserve(size_t(double(info.frames) * outRate / fileRate + 1024) * kOutChannels);
    qint64 read = 0;
    for (;;) {
        const sf_count_t n = sf_readf_float(file, decodeBuf.data(), kChunkFrames);
        if (n <= 0)
            break;
        read += n;
        SDL_AudioStreamPut(converter, decodeBuf.data(), int(n * fileChannels * sizeof(float)));
        drainInto(converter, pcm);
    }
    SDL_AudioStreamFlush(converter);
    drainInto(converter, pcm);
    // What was actually decoded is the truth; a header may promise more than the file holds.
    fileLength = read;
    sf_close(file);
    file = nullptr;
    SDL_FreeAudioStream(converter);
    converter = nullptr;
    decodeBuf = {};
}

qint64 Voice::positionLocked() const
{
    if (!streaming) {
        const qint64 total = pcmFrames();
        if (pcmPos >= total)
            return fileLength;
        return pcmPos * fileLength / total;
    }
    if (finished)
        return fileLength;
    // Only a stream that has really ended reads as being at its end.
    const qint64 p = seekBase + consumed * fileRate / outRate;
    return std::clamp<qint64>(p, 0, std::max<qint64>(0, fileLength - 1));
}

void Voice::setWholePositionLocked(qint64 frame)
{
    const qint64 total = pcmFrames();
    if (frame >= fileLength)
        pcmPos = total;
    else
        pcmPos = fileLength > 0 ? frame * total / fileLength : 0;
}

void Voice::seekStream(MixLock &mix, qint64 frame)
{
    std::lock_guard guard(decodeMutex);
    const bool atEnd = frame >= fileLength;
    {
        std::lock_guard mixGuard(mix);
        ringRead = 0;
        ringCount = 0;
        consumed = 0;
        seekBase = std::min(frame, fileLength);
        sourceDone = atEnd;
        finished = atEnd;
    }
    if (converter)
        SDL_AudioStreamClear(converter);
    if (atEnd) {
        eof = flushed = true;
        return;
    }
    sf_seek(file, frame, SEEK_SET);
    eof = flushed = false;
    fillLocked(mix);
}

void Voice::refill(MixLock &mix)
{
    std::lock_guard guard(decodeMutex);
    fillLocked(mix);
}

void Voice::dropConverterLocked()
{
    if (converter)
        SDL_FreeAudioStream(converter);
    converter = nullptr;
}

void Voice::fillLocked(MixLock &mix)
{
    if (file && !converter)
        converter = SDL_NewAudioStream(AUDIO_F32SYS, Uint8(std::clamp(fileChannels, 0, 255)), fileRate, AUDIO_F32SYS,
                                       kOutChannels, outRate);
    if (!file || !converter)
        return;
    for (;;) {
        qint64 space = 0;
        {
            std::lock_guard mixGuard(mix);
            space = sourceDone ? 0 : ringFrames - ringCount;
        }
        if (space <= 0)
            return;

        const int ready = SDL_AudioStreamAvailable(converter) / int(sizeof(float) * kOutChannels);
        if (ready > 0) {
            const int want = int(std::min<qint64>({qint64(ready), space, qint64(kChunkFrames)}));
            const int got = SDL_AudioStreamGet(converter, convBuf.data(), want * int(sizeof(float)) * kOutChannels) /
                            int(sizeof(float) * kOutChannels);
            if (got > 0) {
                std::lock_guard mixGuard(mix);
                pushRingLocked(convBuf.data(), got);
                continue;
            }
        }
        if (!eof) {
            const sf_count_t n = sf_readf_float(file, decodeBuf.data(), kChunkFrames);
            if (n > 0)
                SDL_AudioStreamPut(converter, decodeBuf.data(), int(n * fileChannels * sizeof(float)));
            else
                eof = true;
            continue;
        }
        if (!flushed) {
            SDL_AudioStreamFlush(converter);
            flushed = true;
            continue;
        }
        std::lock_guard mixGuard(mix);
        sourceDone = true;
        return;
    }
}

void Voice::pushRingLocked(const float *frames, qint64 count)
{
    qint64 write = (ringRead + ringCount) % ringFrames;
    while (count > 0) {
        const qint64 n = std::min(count, ringFrames - write);
        std::copy_n(frames, n * kOutChannels, ring.data() + write * kOutChannels);
        frames += n * kOutChannels;
        count -= n;
        ringCount += n;
        write = (write + n) % ringFrames;
    }
}

bool Voice::mixInto(float *mix, int frames)
{
    if (!streaming) {
        const qint64 n = std::min<qint64>(frames, pcmFrames() - pcmPos);
        const float *src = pcm.data() + pcmPos * kOutChannels;
        for (qint64 i = 0; i < n * kOutChannels; ++i)
            mix[i] += src[i];
        pcmPos += std::max<qint64>(n, 0);
        if (pcmPos >= pcmFrames())
            state = State::Idle;
        return false;
    }

    qint64 left = std::min<qint64>(frames, ringCount);
    consumed += left;
    while (left > 0) {
        const qint64 n = std::min(left, ringFrames - ringRead);
        const float *src = ring.data() + ringRead * kOutChannels;
        for (qint64 i = 0; i < n * kOutChannels; ++i)
            mix[i] += src[i];
        mix += n * kOutChannels;
        ringRead = (ringRead + n) % ringFrames;
        ringCount -= n;
        left -= n;
    }
    if (ringCount == 0 && sourceDone) {
        state = State::Idle;
        finished = true;
        return false;
    }
    return !sourceDone && ringCount < ringFrames / 2;
}

} // namespace detail

using detail::Voice;

SdlChannel::SdlChannel(std::shared_ptr<AudioOutput::Impl> output, Stream stream)
    : m_out(std::move(output)), m_stream(stream)
{
}

SdlChannel::~SdlChannel() { close(); }

void SdlChannel::needOpen() const
{
    if (!m_voice)
        throw NoDeviceOpen();
}

void SdlChannel::open()
{
    close();
    {
        std::lock_guard guard(m_out->mix);
        if (!m_out->alive)
            throw MediaError(QStringLiteral("No audio output"));
    }
    auto voice = std::make_shared<Voice>();
    voice->stream = m_stream;
    voice->load(m_fileName, m_out->voiceSpec(), m_out->mix);
    m_out->addVoice(voice);
    m_voice = std::move(voice);
}

void SdlChannel::close()
{
    if (!m_voice)
        return;
    m_out->removeVoice(m_voice.get());
    m_voice.reset();
}

void SdlChannel::play() { playAt({}); }

void SdlChannel::playAt(std::chrono::steady_clock::time_point due)
{
    needOpen();
    Voice &v = *m_voice;
    if (v.streaming) {
        bool rewind = false;
        {
            std::lock_guard guard(m_out->mix);
            rewind = v.state != Voice::State::Playing && v.positionLocked() == v.fileLength;
        }
        if (rewind)
            v.seekStream(m_out->mix, 0);
    }
    bool start = false;
    {
        std::lock_guard guard(m_out->mix);
        start = m_out->alive && v.state != Voice::State::Playing;
        if (start) {
            if (!v.streaming && v.positionLocked() == v.fileLength)
                v.setWholePositionLocked(0);
            m_out->startVoiceLocked(v, due);
        }
    }
    // The voice is already set playing: a device that opens now starts with it, at its position.
    if (start)
        m_out->ensureRunning(m_stream);
}

void SdlChannel::expectPlayAt(std::chrono::steady_clock::time_point due)
{
    if (m_voice)
        m_out->expectPlay(m_stream, due);
}

void SdlChannel::stop()
{
    needOpen();
    std::lock_guard guard(m_out->mix);
    m_voice->state = Voice::State::Idle;
}

void SdlChannel::pause()
{
    needOpen();
    bool resume = false;
    {
        std::lock_guard guard(m_out->mix);
        if (m_voice->state == Voice::State::Playing) {
            m_voice->state = Voice::State::Paused;
        } else if (m_voice->state == Voice::State::Paused && m_out->alive) {
            m_out->startVoiceLocked(*m_voice);
            resume = true;
        }
    }
    if (resume)
        m_out->ensureRunning(m_stream);
}

void SdlChannel::setPosition(qint64 frame)
{
    needOpen();
    Voice &v = *m_voice;
    frame = std::clamp<qint64>(frame, 0, v.fileLength);
    if (v.streaming) {
        v.seekStream(m_out->mix, frame);
        return;
    }
    std::lock_guard guard(m_out->mix);
    v.setWholePositionLocked(frame);
}

TMPModes SdlChannel::mode() const
{
    if (!m_voice)
        return TMPModes::mpNotReady;
    Voice::State state = Voice::State::Idle;
    {
        std::lock_guard guard(m_out->mix);
        state = m_voice->state;
    }
    switch (state) {
    case Voice::State::Playing: return TMPModes::mpPlaying;
    case Voice::State::Paused: return TMPModes::mpPaused;
    case Voice::State::Idle: break;
    }
    return TMPModes::mpStopped;
}

qint64 SdlChannel::position() const
{
    if (!m_voice)
        return 0;
    std::lock_guard guard(m_out->mix);
    return m_voice->positionLocked();
}

qint64 SdlChannel::length() const
{
    needOpen();
    return m_voice->fileLength;
}

bool SdlChannel::isStreaming() const { return m_voice && m_voice->streaming; }

std::chrono::steady_clock::time_point SdlChannel::startedAt() const
{
    if (!m_voice)
        return {};
    std::lock_guard guard(m_out->mix);
    return m_voice->startedAt;
}

} // namespace sound
