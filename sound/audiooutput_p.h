#pragma once

// Shared between the mixer (audiooutput.cpp) and the channels (sdlchannel.cpp); not for other code.

#include "sound/audiooutput.h"
#include "sound/mixlock.h"

#include <SDL.h>
#include <sndfile.h>

#include <QByteArray>
#include <QString>
#include <array>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>
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
// belong to the decoder of a streaming voice and are guarded by decodeMutex, which is taken
// before [mix], never inside it; the decode-ahead work runs on the output's service thread or,
// for a seek or the first second, on the caller's thread.
struct Voice {
    enum class State { Idle, Playing, Paused };

    Voice() = default;
    Voice(const Voice &) = delete;
    Voice &operator=(const Voice &) = delete;
    ~Voice();

    // Opens and, for a short sound, decodes the whole file; a long one gets its first second
    // decoded ahead. Throws MediaError with libsndfile's text.
    void load(const QString &path, const SDL_AudioSpec &out, MixLock &mix);

    // Position in frames of the file. [mix] must be held.
    qint64 positionLocked() const;
    // Moves to a frame of the file. For a whole sound [mix] must be held; a streaming sound is
    // moved by seekStream() instead, without [mix] held.
    void setWholePositionLocked(qint64 frame);
    void seekStream(MixLock &mix, qint64 frame);
    // Tops up the ring of a streaming voice; returns at once when it is full.
    void refill(MixLock &mix);
    // [dec] Frees the converter before SDL's audio stops; the next decode makes a new one.
    void dropConverterLocked();

    // Adds up to `frames` frames of this voice to `mix`; called by the audio callback.
    // Returns true when the voice wants its ring topped up.
    bool mixInto(float *mix, int frames);

    // fixed once loaded
    Stream stream = Stream::Cues; // the output's stream it plays on
    qint64 fileLength = 0;
    int fileRate = 0;
    int fileChannels = 0;
    int outRate = 0;
    bool streaming = false;

    // [mix]
    State state = State::Idle;
    bool startPending = false;                       // set playing, and not yet mixed since
    std::chrono::steady_clock::time_point startAt;   // its first frame is due then (or at once)
    std::chrono::steady_clock::time_point startedAt; // the moment of its first frame mixed since
    std::vector<float> pcm;                          // a short sound, whole, already in the device's rate
    qint64 pcmPos = 0;                               // frames of pcm played
    std::vector<float> ring;                         // decode-ahead buffer of a streaming sound
    qint64 ringFrames = 0;
    qint64 ringRead = 0;
    qint64 ringCount = 0;
    qint64 consumed = 0;     // device frames taken from the ring since seekBase
    qint64 seekBase = 0;     // file frame where the stream last (re)started
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
    void fillLocked(MixLock &mix);                          // decodeMutex held
};

} // namespace sound::detail

namespace sound {

// Threads and locks:
//  - the caller's (GUI) thread opens channels and plays them. It never waits for the sound
//    server: a play resumes a paused device at once, or asks the connector for a new one, and
//    nothing it calls into SDL can block on the server (pausing and resuming take SDL's device
//    lock only, which the callback holds for microseconds);
//  - SDL's audio threads (one per device; the driver's own on PipeWire) run the callback, which
//    mixes the playing voices of its stream under `mix`;
//  - the connector does everything that may wait for the server, without a time limit when the
//    server is stopped: starting SDL's audio subsystem, opening devices, and starting it anew
//    after a device was lost (SDL does not reconnect a driver whose server died; a restart ends
//    every device, so both streams get new ones). While no device can be had it tries again
//    every kRetry while a sound plays, less often while none does;
//  - the service thread decodes ahead for streaming voices, pauses a device once nothing plays
//    on it and, after closeAfter more of that, hands it to the closer. It watches each device:
//    one that SDL reports gone, or whose callback has not run for kLostAfter while it should,
//    is retired and the connector told to replace it. While a stream's callback does not run
//    (no device yet, a stopped server) it advances that stream's playing voices in real time
//    itself, so positions move and sounds end as if they were heard;
//  - the closer closes old devices. That can take seconds, or as long as a stopped server
//    stays stopped, and nobody waits for it but the connector.
// Lock order: devMutex, then SDL's device lock, then mix. A voice's decodeMutex is taken before
// mix and never with devMutex held. closeMutex is only ever taken last.
// Never call into SDL's device functions with `mix` held: the callback holds SDL's device lock
// while it waits for `mix`. Never hold devMutex across a call that may wait for the server.
struct AudioOutput::Impl : std::enable_shared_from_this<AudioOutput::Impl> {
    using Clock = std::chrono::steady_clock;

    // How long a callback may stay away, beyond two of its buffers, before the service thread
    // moves its stream's voices on.
    static constexpr std::chrono::milliseconds kStall{200};
    // A running device whose callback stays away this long is taken for lost: a driver that
    // does not report a dead server (PipeWire's) shows it only this way. A stream on a freshly
    // started PulseAudio can pause for most of a second, so less would replace good devices.
    static constexpr std::chrono::milliseconds kLostAfter{2000};
    // A device resumed for a play whose callback has not come after this long running (time
    // paused does not count: a paused device is not called) is taken for lost,
    // whether or not the sound has ended meanwhile: SDL's PipeWire driver keeps a stream of a
    // server that was restarted and never calls it again, and cues shorter than kLostAfter would
    // otherwise stay silent for good. A device that has called before calls again within a
    // buffer or two. A new device's first start is not timed: on a PulseAudio server just
    // started it can take seconds, and a dead driver fails the open itself.
    static constexpr std::chrono::milliseconds kFirstCallbackWithin{750};
    // A device that ran this long without calling back has had its chance: it is judged by the
    // time since the play that resumed it, paused or not, so that a dead stream is replaced
    // before the next short cue. One paused sooner (a sound stopped at once) is not judged while
    // it stays paused.
    static constexpr std::chrono::milliseconds kHadItsChance{250};
    // How often the connector tries again while there is no device to be had and a sound wants
    // to play; while nothing plays the wait doubles after every failed try, up to kRetryIdleMax.
    static constexpr std::chrono::milliseconds kRetry{1000};
    static constexpr std::chrono::milliseconds kRetryIdleMax{32000};
    // The longest a channel's open waits for the first device to tell the server's rate.
    static constexpr std::chrono::milliseconds kRateWait{15};
    // How often the connector looks at SDL's events while a device is open: a device SDL
    // reports gone is replaced within this.
    static constexpr std::chrono::milliseconds kWatchEvents{250};
    // A play announced ahead (expectPlay) finds its device open: a closed one is opened this
    // long before the play is due. New devices took up to 160 ms on PipeWire, and more on a
    // busy machine; a paused device costs the server's requests until then.
    static constexpr std::chrono::milliseconds kOpenAhead{500};
    // An announced play that has not come this long after its moment is not waited for any
    // more (the workout was paused or stopped meanwhile).
    static constexpr std::chrono::milliseconds kAnnouncedLate{1000};
    // How long a device stays open, idle, after a play that was announced: the next one will
    // be announced too, so nothing is gained by keeping it longer.
    static constexpr std::chrono::milliseconds kLingerAnnounced{250};

    // The device's state. Only the transitions below change it (and `id` with it); they sit
    // together in audiooutput.cpp, under "Device state":
    //   None | Lost | Missing --openedLocked--> Paused, or Running when a voice plays
    //   None | Lost | Missing --missingLocked--> Missing      (no device could be had)
    //   Paused --resumeLocked--> Running --pauseLocked--> Paused
    //   Paused | Running --retireLocked--> None              (idle for closeAfter, or shutdown)
    //   Paused | Running --deviceLostLocked--> Lost          (the connector starts SDL anew)
    // The connector opens at a play in None, at once in Lost, and by its retry clock in Missing.
    enum class DeviceState { None, Paused, Running, Lost, Missing };

    // The SDL device of one stream, and what the service thread knows of its callback.
    struct StreamDevice {
        Impl *owner = nullptr;
        Stream stream = Stream::Cues;
        int requestedFrames = 512;

        bool hasDeviceLocked() const { return state == DeviceState::Paused || state == DeviceState::Running; }
        bool soundLostLocked() const { return state == DeviceState::Lost || state == DeviceState::Missing; }
        // How long its callback may stay away before its voices are moved on without it.
        Clock::duration stallAfter(int freq) const { return kStall + 2 * bufferDuration(freq); }
        Clock::duration bufferDuration(int freq) const
        {
            return std::chrono::microseconds(qint64(requestedFrames) * 1000000 / std::max(freq, 1));
        }

        // [devMutex]
        DeviceState state = DeviceState::None;
        SDL_AudioDeviceID id = 0; // while Paused or Running
        Clock::time_point runningSince;
        Clock::time_point firstHeard;    // the first callback seen since it last resumed
        bool awaitingCallback = false;   // resumed, and the callback has not run since
        Clock::time_point awaitingSince; // the device last resumed
        Clock::time_point awaitedFrom;   // the resume that started the wait
        Clock::duration awaitedBefore{}; // running time awaited before the device last paused
        std::uint64_t callbacksAtResume = 0;
        std::uint64_t callbacksAtOpen = 0; // the device has called back when they differ
        bool openWanted = false;           // a voice plays and there is no device
        Clock::time_point idleSince;
        std::optional<Clock::time_point> announced; // a play is expected then (expectPlay)
        bool lastPlayAnnounced = false;             // the latest play came as announced

        // [mix]
        Clock::time_point lastCallback; // the callback last ran, or a voice started alone
        Clock::time_point advancedTo;   // the voices have been moved on up to here

        std::atomic<std::uint64_t> callbacks{0};     // how often the callback has run
        std::atomic<std::int64_t> callbackThread{0}; // the thread it last ran on
        std::int64_t raisedThread = 0;               // the service thread's: asked real time for it
    };

    Impl(int bufferFrames, int closeAfterIdleMs, int musicBufferFrames, bool connectAtOnce);
    ~Impl();
    // Starts the threads; each keeps the Impl alive while it runs.
    void start();
    // Stops the threads and closes every device; safe to call twice. It waits a bounded time for
    // a connector or closer stuck on a stopped server and then leaves them to finish alone.
    void shutdown();
    // Lets the connector make its first attempt, if it was held back.
    void connectNow();
    // Returns once the connector has made its first attempt at a device (or after `limit`).
    void waitReady(std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    // The format voices are made for: the first device's, or a fixed default when none has
    // opened within kRateWait. Called by a channel's open on the GUI thread.
    SDL_AudioSpec voiceSpec();

    StreamDevice &deviceOf(Stream stream) { return devices[std::size_t(stream)]; }
    // Called after a voice of `stream` was set playing: unpauses its device, or has one opened.
    void ensureRunning(Stream stream);
    // A play of `stream` is expected at `due`: the device is to be open by then.
    void expectPlay(Stream stream, Clock::time_point due);
    // [mix] held. Sets a voice playing, its first frame due at `at` (at once when that has
    // passed); when it is the only one of its stream, the stall clock starts now.
    void startVoiceLocked(detail::Voice &voice, Clock::time_point at = {});

    void addVoice(std::shared_ptr<detail::Voice> voice);
    void removeVoice(const detail::Voice *voice);
    void requestService();

    static void SDLCALL callback(void *userdata, Uint8 *stream, int len);
    void serviceLoop();
    // On the service thread: how long it may sleep for this device's sake (-1: for ever).
    Sint32 serviceWaitLocked(StreamDevice &dev, bool playing, bool musicPlaying, Clock::time_point heardAt) const;
    // [devMutex] When an idle, paused device is to close; none while it is kept open.
    std::optional<Clock::time_point> closeAtLocked(const StreamDevice &dev, bool musicPlaying) const;
    // On the service thread: has a closed device opened ahead of a play announced for it.
    void openAheadLocked(StreamDevice &dev);
    // On the service thread: retires a device that is gone or does not call back.
    void watchLocked(StreamDevice &dev);
    // On the service thread: pauses a device once nothing plays on it, retires it later.
    void idleLocked(StreamDevice &dev);
    // On the service thread: asks for real-time priority for a thread new to a callback.
    void raiseCallbackThread(StreamDevice &dev);
    void connectorLoop();
    void closerLoop();

    // On the connector, without devMutex: they may wait for the server and for the closer.
    void attempt(bool restartSubsystem);
    bool initAudioPreferringPipeWire();
    // Stops SDL's audio; each streaming voice's converter goes first (it would not survive it).
    void quitAudio();
    SDL_AudioDeviceID openOnCurrentDriver(StreamDevice &dev);
    // Pumps SDL's events, which only the connector may: the devices SDL says are gone.
    std::vector<SDL_AudioDeviceID> removedDevices();
    bool anyDeviceLocked() const;
    bool soundLostLocked() const;
    // [devMutex] held.
    void openedLocked(StreamDevice &dev, SDL_AudioDeviceID id, bool playing);
    void missingLocked(StreamDevice &dev, const QString &reason);
    void resumeLocked(StreamDevice &dev); // also starts waiting for the callback
    void pauseLocked(StreamDevice &dev);
    void retireLocked(StreamDevice &dev);
    // [devMutex] When a device awaiting its first callback since a resume is taken for lost;
    // none while it is not awaited or cannot yet be judged.
    std::optional<Clock::time_point> startDueLocked(const StreamDevice &dev) const;
    void deviceLostLocked(StreamDevice &dev, const char *why);
    void handToCloserLocked(SDL_AudioDeviceID id);
    void fixDefaultSpecLocked();
    void sayLostLocked(const QString &line);
    void sayBackLocked();
    // [mix] held: moves a stream's playing voices on by the time no callback has covered.
    void advanceSilentlyLocked(StreamDevice &dev, Clock::time_point now, std::vector<float> &scratch);
    bool anyPlayingLocked() const;
    // Whether a voice plays that `stream`'s device plays.
    bool anyPlayingLocked(Stream stream) const;
    // [mix or devMutex] The stream whose device plays the voices of `stream`.
    Stream routeOf(Stream stream) const { return sharedDevice ? Stream::Cues : stream; }
    // Waits until the closer has closed every device handed to it; true when there were some.
    bool waitForClosed();

    std::chrono::milliseconds closeAfter{3000};
    // One per Stream, in its order.
    std::array<StreamDevice, 2> devices;

    // [mix]
    mutable detail::MixLock mix;
    std::vector<std::shared_ptr<detail::Voice>> voices;
    bool alive = true; // channels may open and play; false once shut down
    // [mix and devMutex to change] The driver has room for one device only, so the music plays
    // through the cues' device.
    bool sharedDevice = false;

    // [devMutex]
    mutable std::mutex devMutex;
    std::condition_variable connectWake; // the connector waits on it
    std::condition_variable specFixed;
    SDL_AudioSpec spec{}; // fixed once (specKnown) by the first device or voiceSpec()
    bool specKnown = false;
    bool saidLost = false;    // the log has said so, and not yet that sound is back
    bool firstDone = false;   // the connector's first attempt is over
    bool connectHeld = false; // the first attempt waits for connectNow()
    Clock::time_point lastAttempt;
    std::chrono::milliseconds retryDelay = kRetry; // the connector's, while nothing plays
    bool shutDown = false;
    QString driver;

    // The connector's (shutdown()'s after it ends).
    bool sdlReady = false;       // the audio subsystem is initialised
    bool devicesRemoved = false; // SDL has reported a playback device gone since it started

    // [closeMutex]
    mutable std::mutex closeMutex;
    std::condition_variable closed;
    std::vector<SDL_AudioDeviceID> toClose;
    int closing = 0; // handed to the closer and not yet closed
    bool closerQuit = false;

    // Ready once the thread has ended: shutdown() waits for them a bounded time.
    std::future<void> connectorEnded;
    std::future<void> closerEnded;

    SDL_sem *wake = nullptr;
    std::atomic<bool> serviceRequested{false};
    std::atomic<bool> quitting{false};
    std::atomic<bool> shutdownStarted{false};
    mutable std::condition_variable readyChanged; // with devMutex, on firstDone
    std::thread service;
    std::thread connector;
    std::thread closer;
};

} // namespace sound
