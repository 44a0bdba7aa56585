#pragma once

// Shared between the mixer (audiooutput.cpp) and the channels (sdlchannel.cpp); not for other code.

#include "sound/audiooutput.h"

#include <SDL.h>
#include <sndfile.h>

#include <QByteArray>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sound::detail {

inline constexpr int kOutChannels = 2; // the mixer always works in interleaved float stereo

// One opened sound as the mixer sees it. A channel makes a fresh Voice at every open and drops it
// at close, so a Voice never changes its file.
//
// Fields marked [dev] are shared with the audio callback and guarded by the device lock
// (SDL_LockAudioDevice, which the callback holds while it runs). Fields marked [dec] belong to
// the decoder of a streaming voice and are guarded by decodeMutex; the decode-ahead work runs on
// the output's service thread or, for a seek, on the caller's thread.
struct Voice {
    enum class State { Idle, Playing, Paused };

    Voice() = default;
    Voice(const Voice &) = delete;
    Voice &operator=(const Voice &) = delete;
    ~Voice();

    // Opens and, for a short sound, decodes the whole file; a long one gets its first second
    // decoded ahead. Throws MediaError with libsndfile's text.
    void load(const QByteArray &path, const SDL_AudioSpec &out, SDL_AudioDeviceID device);

    // Position in frames of the file. [dev] must be held.
    qint64 positionLocked() const;
    // Moves to a frame of the file. For a whole sound [dev] must be held; a streaming sound is
    // moved by seekStream() instead, without [dev] held.
    void setWholePositionLocked(qint64 frame);
    void seekStream(SDL_AudioDeviceID device, qint64 frame);
    // Tops up the ring of a streaming voice; returns at once when it is full.
    void refill(SDL_AudioDeviceID device);

    // Adds up to `frames` frames of this voice to `mix`; called by the audio callback.
    // Returns true when the voice wants its ring topped up.
    bool mixInto(float *mix, int frames);

    // fixed once loaded
    qint64 fileLength = 0;
    int fileRate = 0;
    int fileChannels = 0;
    int outRate = 0;
    bool streaming = false;

    // [dev]
    State state = State::Idle;
    std::vector<float> pcm; // a short sound, whole, already in the device's rate
    qint64 pcmPos = 0;      // frames of pcm played
    std::vector<float> ring; // decode-ahead buffer of a streaming sound
    qint64 ringFrames = 0;
    qint64 ringRead = 0;
    qint64 ringCount = 0;
    qint64 consumed = 0;    // device frames taken from the ring since seekBase
    qint64 seekBase = 0;    // file frame where the stream last (re)started
    bool sourceDone = false; // the decoder has put its last frame into the ring
    bool finished = false;   // the stream played to its end

    // [dec]
    std::mutex decodeMutex;
    SNDFILE *file = nullptr;
    SDL_AudioStream *converter = nullptr;
    bool eof = false;
    bool flushed = false;
    std::vector<float> decodeBuf;
    std::vector<float> convBuf;

private:
    qint64 pcmFrames() const { return qint64(pcm.size()) / kOutChannels; }
    void pushRingLocked(const float *frames, qint64 count); // [dev] held
    void fillLocked(SDL_AudioDeviceID device);               // decodeMutex held
};

} // namespace sound::detail

namespace sound {

struct AudioOutput::Impl {
    explicit Impl(int bufferFrames);
    ~Impl();
    // Stops the service thread and closes the device; safe to call twice.
    void shutdown();

    // Wraps SDL_LockAudioDevice; a no-op once the device is gone.
    void lock() const;
    void unlock() const;
    // [dev] held: make sure the callback runs.
    void runLocked();

    void addVoice(std::shared_ptr<detail::Voice> voice);
    void removeVoice(const detail::Voice *voice);
    void requestService();

    static void SDLCALL callback(void *userdata, Uint8 *stream, int len);
    void serviceLoop();

    SDL_AudioDeviceID device = 0;
    SDL_AudioSpec spec{};
    QString driver;
    bool fallback = false;
    int requestedFrames = 512;

    std::vector<std::shared_ptr<detail::Voice>> voices; // [dev]
    bool running = false;                                // [dev]

    SDL_sem *wake = nullptr;
    std::atomic<bool> serviceRequested{false};
    std::atomic<bool> quitting{false};
    std::thread service;
};

} // namespace sound
