#pragma once

// Shared between the mixer (audiooutput.cpp) and the channels (sdlchannel.cpp); not for other code.

#include "sound/audiooutput.h"

#include <SDL.h>
#include <sndfile.h>

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sound::detail {

inline constexpr int kOutChannels = 2; // the mixer always works in interleaved float stereo

// One opened sound as the mixer sees it. A channel makes a fresh Voice at every open and drops it
// at close, so a Voice never changes its file.
//
// Fields marked [mix] are shared with the audio callback and guarded by the output's mixer lock
// (AudioOutput::Impl::mix, which the callback holds while it runs). It is our own mutex rather
// than SDL's device lock because the device comes and goes while voices stay. Fields marked [dec]
// belong to the decoder of a streaming voice and are guarded by decodeMutex; the decode-ahead
// work runs on the output's service thread or, for a seek, on the caller's thread.
struct Voice {
    enum class State { Idle, Playing, Paused };

    Voice() = default;
    Voice(const Voice &) = delete;
    Voice &operator=(const Voice &) = delete;
    ~Voice();

    // Opens and, for a short sound, decodes the whole file; a long one gets its first second
    // decoded ahead. Throws MediaError with libsndfile's text.
    void load(const QByteArray &path, const SDL_AudioSpec &out, std::mutex &mix);

    // Position in frames of the file. [mix] must be held.
    qint64 positionLocked() const;
    // Moves to a frame of the file. For a whole sound [mix] must be held; a streaming sound is
    // moved by seekStream() instead, without [mix] held.
    void setWholePositionLocked(qint64 frame);
    void seekStream(std::mutex &mix, qint64 frame);
    // Tops up the ring of a streaming voice; returns at once when it is full.
    void refill(std::mutex &mix);

    // Adds up to `frames` frames of this voice to `mix`; called by the audio callback.
    // Returns true when the voice wants its ring topped up.
    bool mixInto(float *mix, int frames);

    // fixed once loaded
    qint64 fileLength = 0;
    int fileRate = 0;
    int fileChannels = 0;
    int outRate = 0;
    bool streaming = false;

    // [mix]
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
    void pushRingLocked(const float *frames, qint64 count); // [mix] held
    void fillLocked(std::mutex &mix);                        // decodeMutex held
};

} // namespace sound::detail

namespace sound {

// Threads and locks:
//  - the caller's (GUI) thread opens channels and plays them; a play resumes a paused device
//    at once, or asks the service thread for a new one;
//  - SDL's audio thread runs the callback, which mixes the playing voices under `mix`;
//  - the service thread opens devices (a millisecond or two, more on a busy machine, and a wait
//    for the old device on drivers that allow only one), decodes ahead for streaming voices,
//    pauses the device once nothing plays and, after closeAfter more of that, hands it to the
//    closer. It alone changes `device`, `sdlReady` and `spec`;
//  - the closer thread closes old devices. That can take seconds (SDL waits for the server to
//    ask for more data), and nobody should wait for it.
// Lock order: devMutex, then SDL's device lock, then mix; closeMutex is only ever taken last.
// Never call into SDL's device functions with `mix` held: the callback holds SDL's device lock
// while it waits for `mix`.
struct AudioOutput::Impl {
    using Clock = std::chrono::steady_clock;

    Impl(int bufferFrames, int closeAfterIdleMs);
    ~Impl();
    // Stops the threads and closes every device; safe to call twice.
    void shutdown();
    // Returns once the service thread has set up the first device (or found there is none):
    // from then on `spec` and `alive` have their values.
    void waitReady() const;

    void lock() const { mix.lock(); }
    void unlock() const { mix.unlock(); }
    // Called after a voice was set playing: unpauses the device, or has one opened.
    void ensureRunning();

    void addVoice(std::shared_ptr<detail::Voice> voice);
    void removeVoice(const detail::Voice *voice);
    void requestService();

    static void SDLCALL callback(void *userdata, Uint8 *stream, int len);
    void serviceLoop();
    void closerLoop();

    // On the service thread, without devMutex: they may wait for the closer.
    void startFirstDevice();
    SDL_AudioDeviceID openNew();
    SDL_AudioDeviceID openOnCurrentDriver();
    // [devMutex] held.
    void retireLocked();
    // Waits until the closer has closed every device handed to it; true when there were some.
    bool waitForClosed();

    SDL_AudioSpec spec{}; // fixed once the first device is open
    int requestedFrames = 512;
    std::chrono::milliseconds closeAfter{3000};

    // [mix]
    mutable std::mutex mix;
    std::vector<std::shared_ptr<detail::Voice>> voices;
    bool alive = true; // channels may open and play; false once shut down or without any device

    // [devMutex]
    mutable std::mutex devMutex;
    SDL_AudioDeviceID device = 0;
    bool running = false;    // device unpaused
    bool openWanted = false; // a voice plays and there is no device
    Clock::time_point idleSince;
    bool shutDown = false;
    QString driver;
    bool fallback = false;

    // The service thread's (shutdown()'s after it ends).
    bool sdlReady = false; // the audio subsystem is initialised

    // [closeMutex]
    mutable std::mutex closeMutex;
    std::condition_variable closed;
    std::vector<SDL_AudioDeviceID> toClose;
    int closing = 0; // handed to the closer and not yet closed
    bool closerQuit = false;

    SDL_sem *wake = nullptr;
    std::atomic<bool> serviceRequested{false};
    std::atomic<bool> quitting{false};
    std::promise<void> readyPromise;
    std::shared_future<void> readyFuture;
    std::thread service;
    std::thread closer;
};

} // namespace sound
