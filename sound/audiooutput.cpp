#include "sound/audiooutput.h"
#include "sound/audiolog.h"
#include "sound/audiooutput_p.h"
#include "sound/realtime.h"
#include "sound/sdlchannel.h"

#include <algorithm>
#include <cstring>

namespace sound {

AudioOutput::Impl::Impl(int bufferFrames, int closeAfterIdleMs, int musicBufferFrames, bool connectAtOnce)
    : closeAfter(std::max(closeAfterIdleMs, 0)), connectHeld(!connectAtOnce)
{
    const auto now = Clock::now();
    for (const Stream stream : {Stream::Cues, Stream::Music}) {
        StreamDevice &dev = deviceOf(stream);
        dev.owner = this;
        dev.stream = stream;
        dev.requestedFrames = std::clamp(stream == Stream::Music ? musicBufferFrames : bufferFrames, 64, 16384);
        dev.idleSince = dev.lastCallback = dev.advancedTo = now;
    }
    quietAudioLibraries();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Vintra");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Vintra sounds");
    // SDL's own audio thread (PulseAudio, ALSA) asks for real time, not only a better nice
    // value, and rtkit can grant it: see realtime.h.
    SDL_SetHint(SDL_HINT_THREAD_FORCE_REALTIME_TIME_CRITICAL, "1");

    lastAttempt = now;
    voices.reserve(16);
    toClose.reserve(8);
    wake = SDL_CreateSemaphore(0);
}

void AudioOutput::Impl::start()
{
    // SDL keeps per-thread data (its error text) for threads it did not create; these must hand
    // it back before they end. Each holds the Impl, so one still waiting for a stopped server
    // when the output goes away finds it intact when the server answers. A thread's future is ready
    // once its loop is over, whether or not anyone still waits for it.
    auto self = shared_from_this();
    const auto run = [self](void (Impl::*loop)(), std::promise<void> ended) {
        ((*self).*loop)();
        SDL_TLSCleanup();
        ended.set_value();
    };
    std::promise<void> closerEnd, connectorEnd;
    closerEnded = closerEnd.get_future();
    connectorEnded = connectorEnd.get_future();
    closer = std::thread(run, &Impl::closerLoop, std::move(closerEnd));
    // Connecting to the sound server takes a few milliseconds, so the connector does it in the
    // background: at once, or when the owner lets it (Connect::Later).
    connector = std::thread(run, &Impl::connectorLoop, std::move(connectorEnd));
    service = std::thread(run, &Impl::serviceLoop, std::promise<void>());
}

void AudioOutput::Impl::connectNow()
{
    {
        std::lock_guard guard(devMutex);
        if (!connectHeld)
            return;
        connectHeld = false;
    }
    connectWake.notify_all();
}

void AudioOutput::Impl::waitReady(std::chrono::milliseconds limit) const
{
    const_cast<Impl *>(this)->connectNow();
    std::unique_lock guard(devMutex);
    readyChanged.wait_for(guard, limit, [this] { return firstDone || shutDown; });
}

void AudioOutput::Impl::fixDefaultSpecLocked()
{
    if (specKnown)
        return;
    spec = SDL_AudioSpec{};
    spec.freq = 44100;
    spec.format = AUDIO_F32SYS;
    spec.channels = detail::kOutChannels;
    spec.samples = Uint16(deviceOf(Stream::Cues).requestedFrames);
    specKnown = true;
    specFixed.notify_all();
}

SDL_AudioSpec AudioOutput::Impl::voiceSpec()
{
    connectNow();
    std::unique_lock guard(devMutex);
    // The first device normally tells the server's rate long before the first channel opens;
    // with a server that does not answer, the voices take a default and the device converts.
    if (!specKnown)
        specFixed.wait_for(guard, kRateWait, [this] { return specKnown; });
    fixDefaultSpecLocked();
    return spec;
}

AudioOutput::Impl::~Impl()
{
    shutdown();
    SDL_DestroySemaphore(wake);
}

void AudioOutput::Impl::shutdown()
{
    if (shutdownStarted.exchange(true))
        return;
    {
        std::lock_guard guard(mix);
        alive = false;
        for (const auto &voice : voices)
            voice->state = detail::Voice::State::Idle;
    }
    {
        std::lock_guard guard(devMutex);
        shutDown = true;
    }
    connectWake.notify_all();
    readyChanged.notify_all();
    quitting = true;
    SDL_SemPost(wake);
    if (service.joinable())
        service.join(); // it never waits for the server

    // A connector or closer that waits for a stopped server may wait for ever; the program
    // must still end.
    const auto waitFor = [](const std::future<void> &ended) {
        return ended.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    };
    const bool connectorGone = waitFor(connectorEnded);
    if (connector.joinable()) {
        if (connectorGone)
            connector.join();
        else
            connector.detach();
    }
    {
        std::lock_guard guard(devMutex);
        for (auto &dev : devices)
            if (dev.hasDeviceLocked())
                retireLocked(dev);
    }
    {
        std::lock_guard guard(closeMutex);
        closerQuit = true;
    }
    closed.notify_all();
    const bool closerGone = waitFor(closerEnded); // it closes everything it was given first
    if (closer.joinable()) {
        if (closerGone)
            closer.join();
        else
            closer.detach();
    }
    if (connectorGone && closerGone && sdlReady) {
        quitAudio();
        sdlReady = false;
    }
}

void AudioOutput::Impl::handToCloserLocked(SDL_AudioDeviceID id)
{
    {
        std::lock_guard guard(closeMutex);
        toClose.push_back(id);
        ++closing;
    }
    closed.notify_all();
}

// --- Device state: every transition, with devMutex held ---

void AudioOutput::Impl::openedLocked(StreamDevice &dev, SDL_AudioDeviceID id, bool playing)
{
    Q_ASSERT(!dev.hasDeviceLocked());
    dev.id = id;
    dev.state = DeviceState::Paused;
    dev.callbacksAtOpen = dev.callbacks.load();
    dev.idleSince = Clock::now();
    if (playing)
        resumeLocked(dev); // sound is back once this device has asked for some: the service thread tells
    else if (!soundLostLocked())
        sayBackLocked();
    requestService(); // to watch the new device
}

void AudioOutput::Impl::missingLocked(StreamDevice &dev, const QString &reason)
{
    Q_ASSERT(!dev.hasDeviceLocked());
    dev.state = DeviceState::Missing;
    // Not an error for the user: the voices go on in silence, and the connector keeps looking
    // for a device.
    sayLostLocked(QStringLiteral("no audio device (%1); sounds play silently until one is back").arg(reason));
}

void AudioOutput::Impl::resumeLocked(StreamDevice &dev)
{
    Q_ASSERT(dev.state == DeviceState::Paused);
    SDL_PauseAudioDevice(dev.id, 0);
    dev.state = DeviceState::Running;
    dev.runningSince = Clock::now();
    // Only running time counts towards the deadline, and plays that come while the callback is
    // still awaited do not start it afresh: a cue every second must not keep a dead device
    // alive, and a device paused before it could call back (a sound stopped at once) must not
    // be blamed for the time it spent paused.
    dev.awaitingSince = dev.runningSince;
    if (!dev.awaitingCallback && dev.callbacks.load() != dev.callbacksAtOpen) {
        dev.awaitingCallback = true;
        dev.awaitedBefore = {};
        dev.awaitedFrom = dev.runningSince;
        dev.callbacksAtResume = dev.callbacks.load();
    }
}

void AudioOutput::Impl::pauseLocked(StreamDevice &dev)
{
    Q_ASSERT(dev.state == DeviceState::Running);
    SDL_PauseAudioDevice(dev.id, 1);
    dev.state = DeviceState::Paused;
    dev.idleSince = Clock::now();
    if (dev.awaitingCallback)
        dev.awaitedBefore += dev.idleSince - dev.awaitingSince;
}

std::optional<AudioOutput::Impl::Clock::time_point> AudioOutput::Impl::startDueLocked(const StreamDevice &dev) const
{
    if (!dev.awaitingCallback)
        return std::nullopt;
    if (dev.state == DeviceState::Running) {
        // The moment its running time reaches the limit, or, once it has had its chance, the
        // limit after the play that resumed it, whichever comes first.
        const auto ranFrom = dev.awaitingSince - dev.awaitedBefore;
        return std::min(ranFrom + kFirstCallbackWithin,
                        std::max(dev.awaitedFrom + kFirstCallbackWithin, ranFrom + kHadItsChance));
    }
    if (dev.state == DeviceState::Paused && dev.awaitedBefore >= kHadItsChance)
        return dev.awaitedFrom + kFirstCallbackWithin;
    return std::nullopt;
}

void AudioOutput::Impl::retireLocked(StreamDevice &dev)
{
    Q_ASSERT(dev.hasDeviceLocked());
    // SDL pauses it again under its own lock before closing.
    handToCloserLocked(dev.id);
    dev.id = 0;
    dev.state = DeviceState::None;
    dev.awaitingCallback = false;
}

void AudioOutput::Impl::deviceLostLocked(StreamDevice &dev, const char *why)
{
    retireLocked(dev);
    dev.state = DeviceState::Lost;
    sayLostLocked(QStringLiteral("the audio device was lost (%1); sounds play silently until it is back")
                      .arg(QString::fromLatin1(why)));
    connectWake.notify_all();
}

// --- end of the device state ---

// One line when sound goes, one when it is back: a device that opens and at once turns out
// dead again (a server still starting) is not worth two more.
void AudioOutput::Impl::sayLostLocked(const QString &line)
{
    if (saidLost)
        return;
    saidLost = true;
    qCWarning(lcAudio, "%s", qUtf8Printable(line));
}

void AudioOutput::Impl::sayBackLocked()
{
    if (!saidLost)
        return;
    saidLost = false;
    qCInfo(lcAudio, "audio device is back (%s)", qUtf8Printable(driver));
}

bool AudioOutput::Impl::anyDeviceLocked() const
{
    return std::any_of(devices.begin(), devices.end(), [](const auto &dev) { return dev.hasDeviceLocked(); });
}

bool AudioOutput::Impl::soundLostLocked() const
{
    return std::any_of(devices.begin(), devices.end(), [](const auto &dev) { return dev.soundLostLocked(); });
}

void AudioOutput::Impl::ensureRunning(Stream stream)
{
    {
        std::lock_guard guard(devMutex);
        if (shutDown)
            return;
        StreamDevice &dev = deviceOf(routeOf(stream));
        // A play that comes well before the one announced (a click) leaves the announcement be.
        const auto now = Clock::now();
        dev.lastPlayAnnounced =
            dev.announced && now >= *dev.announced - kOpenAhead && now < *dev.announced + kAnnouncedLate;
        if (dev.lastPlayAnnounced)
            dev.announced.reset();
        if (dev.hasDeviceLocked() && SDL_GetAudioDeviceStatus(dev.id) == SDL_AUDIO_STOPPED)
            deviceLostLocked(dev, "it stopped");
        if (dev.hasDeviceLocked()) {
            if (dev.state == DeviceState::Paused) {
                resumeLocked(dev);
                // The service thread may be sleeping out an idle device's long wait. A server
                // that does not ask for sound yet (one just started, or a stopped one) keeps the
                // callback away for hundreds of milliseconds: the voices must move on in their
                // time meanwhile, or the late callback plays the whole cue from its start, late.
                requestService();
            }
            return;
        }
        dev.openWanted = true;
    }
    connectWake.notify_all();
    requestService(); // the voices move on in silence until a device runs
}

void AudioOutput::Impl::expectPlay(Stream stream, Clock::time_point due)
{
    {
        std::lock_guard guard(devMutex);
        if (shutDown)
            return;
        deviceOf(routeOf(stream)).announced = due;
    }
    requestService(); // it opens the device in time, or keeps the open one
}

void AudioOutput::Impl::openAheadLocked(StreamDevice &dev)
{
    if (!dev.announced)
        return;
    const auto now = Clock::now();
    if (now >= *dev.announced + kAnnouncedLate) {
        dev.announced.reset();
        return;
    }
    // A lost or missing device is the connector's already.
    if (dev.state != DeviceState::None || dev.openWanted || now < *dev.announced - kOpenAhead)
        return;
    dev.openWanted = true;
    connectWake.notify_all();
}

bool AudioOutput::Impl::anyPlayingLocked() const
{
    return std::any_of(voices.begin(), voices.end(),
                       [](const auto &v) { return v->state == detail::Voice::State::Playing; });
}

bool AudioOutput::Impl::anyPlayingLocked(Stream stream) const
{
    return std::any_of(voices.begin(), voices.end(), [this, stream](const auto &v) {
        return routeOf(v->stream) == stream && v->state == detail::Voice::State::Playing;
    });
}

void AudioOutput::Impl::startVoiceLocked(detail::Voice &voice, Clock::time_point at)
{
    if (!anyPlayingLocked(routeOf(voice.stream))) {
        StreamDevice &dev = deviceOf(routeOf(voice.stream));
        dev.lastCallback = dev.advancedTo = Clock::now();
    }
    voice.state = detail::Voice::State::Playing;
    voice.startPending = true;
    voice.startAt = at;
}

namespace {

// Frames of `rate` from `from` to `to`, none when `to` is not after `from`.
qint64 framesBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to, int rate)
{
    if (to <= from)
        return 0;
    return std::chrono::duration_cast<std::chrono::microseconds>(to - from).count() * rate / 1000000;
}

std::chrono::microseconds durationOf(qint64 frames, int rate)
{
    return std::chrono::microseconds(frames * 1000000 / std::max(rate, 1));
}

} // namespace

void AudioOutput::Impl::addVoice(std::shared_ptr<detail::Voice> voice)
{
    std::lock_guard guard(mix);
    voices.push_back(std::move(voice));
}

void AudioOutput::Impl::removeVoice(const detail::Voice *voice)
{
    std::shared_ptr<detail::Voice> keep; // destroyed after the lock is released
    std::lock_guard guard(mix);
    auto it = std::find_if(voices.begin(), voices.end(), [voice](const auto &v) { return v.get() == voice; });
    if (it != voices.end()) {
        keep = std::move(*it);
        voices.erase(it);
    }
}

void AudioOutput::Impl::requestService()
{
    if (!serviceRequested.exchange(true))
        SDL_SemPost(wake);
}

// Runs on SDL's audio thread. No allocation, no files, and no waiting beyond the short holds of
// `mix` by the other threads.
void SDLCALL AudioOutput::Impl::callback(void *userdata, Uint8 *stream, int len)
{
    auto *dev = static_cast<StreamDevice *>(userdata);
    Impl *self = dev->owner;
    auto *mix = reinterpret_cast<float *>(stream);
    const int frames = len / int(sizeof(float) * detail::kOutChannels);
    std::memset(stream, 0, size_t(len));

    bool anyPlaying = false;
    bool wantRefill = false;
    dev->callbacks.fetch_add(1, std::memory_order_relaxed);
    // A new device may call from a new thread; the service thread raises its priority.
    if (const auto thread = currentThreadId(); dev->callbackThread.load(std::memory_order_relaxed) != thread) {
        dev->callbackThread.store(thread, std::memory_order_relaxed);
        self->requestService();
    }
    {
        std::lock_guard guard(self->mix);
        const auto now = Clock::now();
        dev->lastCallback = dev->advancedTo = now;
        for (const auto &voice : self->voices) {
            if (self->routeOf(voice->stream) != dev->stream || voice->state != detail::Voice::State::Playing)
                continue;
            // A sound due later starts at the frame its moment falls on, taking this buffer to
            // begin now: the callbacks come one buffer apart, so the frames of this one are
            // heard one buffer after those of the last, and a sound handed over early keeps its
            // moment to within the callback's own wake-up jitter.
            qint64 skip = 0;
            if (voice->startPending) {
                skip = framesBetween(now, voice->startAt, voice->outRate);
                if (skip >= frames) {
                    anyPlaying = true;
                    continue;
                }
                voice->startPending = false;
                voice->startedAt = now + durationOf(skip, voice->outRate);
            }
            wantRefill |= voice->mixInto(mix + skip * detail::kOutChannels, frames - int(skip));
            anyPlaying |= voice->state == detail::Voice::State::Playing;
        }
    }
    for (int i = 0; i < frames * detail::kOutChannels; ++i)
        mix[i] = std::clamp(mix[i], -1.0f, 1.0f);

    if (wantRefill || !anyPlaying)
        self->requestService();
}

void AudioOutput::Impl::advanceSilentlyLocked(StreamDevice &dev, Clock::time_point now, std::vector<float> &scratch)
{
    if (now - dev.lastCallback < dev.stallAfter(spec.freq) || !anyPlayingLocked(dev.stream))
        return;
    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - dev.advancedTo).count();
    qint64 frames = gap * spec.freq / 1000000;
    if (frames <= 0)
        return;
    const auto from = dev.advancedTo;
    // Whole frames only, so no time is lost to rounding from one step to the next.
    dev.advancedTo += durationOf(frames, spec.freq);
    const qint64 chunk = qint64(scratch.size()) / detail::kOutChannels;
    for (const auto &voice : voices) {
        if (routeOf(voice->stream) != dev.stream || voice->state != detail::Voice::State::Playing)
            continue;
        qint64 left = frames;
        if (voice->startPending) {
            if (voice->startAt >= dev.advancedTo)
                continue; // not yet due
            left -= framesBetween(from, voice->startAt, spec.freq);
            voice->startPending = false;
            voice->startedAt = std::max(from, voice->startAt);
        }
        while (left > 0 && voice->state == detail::Voice::State::Playing) {
            const int n = int(std::min(left, chunk));
            voice->mixInto(scratch.data(), n);
            left -= n;
        }
    }
}

void AudioOutput::Impl::raiseCallbackThread(StreamDevice &dev)
{
    const std::int64_t thread = dev.callbackThread.load(std::memory_order_relaxed);
    if (thread == 0 || thread == dev.raisedThread)
        return;
    dev.raisedThread = thread;
    if (!makeThreadRealtime(thread))
        qCDebug(lcAudio, "the audio callback runs without real-time priority; music may break under load");
    // A new callback thread comes with a device, and with SDL's audio started anew a new
    // mainloop thread of the library too.
    if (!makeAudioLibraryThreadsRealtime())
        qCDebug(lcAudio, "the audio library's own thread runs without real-time priority; music may break under load");
}

// A workout announces each cue about a second ahead, so its device is open for the cue and a
// moment after it, and closed between cues. Plays nobody announced (a click, the sound tab) keep
// it closeAfter; the cues' device then stays open as long as the music plays, so that a click's
// cue over the music does not wait for a new device.
std::optional<AudioOutput::Impl::Clock::time_point> AudioOutput::Impl::closeAtLocked(const StreamDevice &dev,
                                                                                     bool musicPlaying) const
{
    if (dev.announced)
        return *dev.announced + kAnnouncedLate;
    if (dev.lastPlayAnnounced)
        return dev.idleSince + std::min<Clock::duration>(closeAfter, kLingerAnnounced);
    if (dev.stream == Stream::Cues && musicPlaying)
        return std::nullopt;
    return dev.idleSince + closeAfter;
}

Sint32 AudioOutput::Impl::serviceWaitLocked(StreamDevice &dev, bool playing, bool musicPlaying,
                                            Clock::time_point heardAt) const
{
    Sint32 waitMs = -1;
    const auto now = Clock::now();
    if (playing) {
        // Short steps while standing in for a missing callback, so the voices move smoothly and
        // a ring never runs dry; otherwise often enough to notice a lost device in time.
        const auto stallAt = heardAt + dev.stallAfter(spec.freq);
        const bool standingIn = dev.state != DeviceState::Running || now >= stallAt;
        // Waking when a callback would be overdue, so standing in starts on time.
        const auto untilStall = std::chrono::ceil<std::chrono::milliseconds>(stallAt - now);
        waitMs = standingIn ? 20 : Sint32(std::clamp<std::chrono::milliseconds::rep>(untilStall.count(), 1, 100));
    } else if (dev.state == DeviceState::Paused) {
        // One kept open for the music is looked at now and then.
        const auto closeAt = closeAtLocked(dev, musicPlaying);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(closeAt.value_or(now) - now);
        waitMs = closeAt ? Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 500)) : 500;
    } else if (dev.state == DeviceState::Running) {
        waitMs = 100;
    } else if (dev.state == DeviceState::None && dev.announced && !dev.openWanted) {
        // Once asked for, the device is the connector's: an open that waits for a stopped
        // server must not keep this thread spinning.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*dev.announced - kOpenAhead - now);
        waitMs = Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 1000));
    }
    if (const auto due = startDueLocked(dev)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
        const Sint32 untilDue = Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 1, 1000));
        waitMs = waitMs < 0 ? untilDue : std::min(waitMs, untilDue);
    }
    return waitMs;
}

void AudioOutput::Impl::watchLocked(StreamDevice &dev)
{
    if (!dev.hasDeviceLocked())
        return;
    bool stillPlaying = false;
    Clock::time_point heardAt;
    {
        std::lock_guard voicesGuard(mix);
        stillPlaying = anyPlayingLocked(dev.stream);
        heardAt = dev.lastCallback;
    }
    const auto now = Clock::now();
    const bool running = dev.state == DeviceState::Running;
    const bool stale = running && now - std::max(heardAt, dev.runningSince) > kLostAfter;
    if (dev.awaitingCallback && dev.callbacks.load() != dev.callbacksAtResume)
        dev.awaitingCallback = false;
    // Sound is back once the server keeps asking for it, not at its first request: a new
    // stream's first fill is asked for at once, and on a PulseAudio still starting (seen on SDL 3
    // under load) that was all, for seconds, until the device was taken for lost again.
    if (running && heardAt > dev.runningSince && dev.firstHeard <= dev.runningSince)
        dev.firstHeard = heardAt;
    if (SDL_GetAudioDeviceStatus(dev.id) == SDL_AUDIO_STOPPED)
        deviceLostLocked(dev, "it stopped");
    else if (const auto due = startDueLocked(dev); dev.awaitingCallback && due && now >= *due)
        deviceLostLocked(dev, "it did not start");
    else if (stale && stillPlaying)
        deviceLostLocked(dev, "it stopped asking for sound");
    else if (running && dev.firstHeard > dev.runningSince &&
             heardAt - dev.firstHeard >= dev.bufferDuration(spec.freq) && !soundLostLocked())
        sayBackLocked();
}

void AudioOutput::Impl::idleLocked(StreamDevice &dev)
{
    bool nowPlaying = false;
    bool musicPlaying = false;
    {
        std::lock_guard voicesGuard(mix);
        nowPlaying = anyPlayingLocked(dev.stream);
        musicPlaying = anyPlayingLocked(Stream::Music);
    }
    if (!dev.hasDeviceLocked() || nowPlaying)
        return;
    if (dev.state == DeviceState::Running) {
        pauseLocked(dev);
    } else if (const auto closeAt = closeAtLocked(dev, musicPlaying); closeAt && Clock::now() >= *closeAt) {
        dev.announced.reset(); // it came too late to be waited for
        retireLocked(dev);
    }
}

// Decode-ahead for streaming voices; pausing a device once nothing plays on it (a running
// callback costs CPU even when it only produces silence), and closing it after a while of that
// (a paused SDL device still writes silence to the server); watching the devices, and standing
// in for one while its callback does not run.
void AudioOutput::Impl::serviceLoop()
{
    std::vector<std::shared_ptr<detail::Voice>> streams;
    streams.reserve(16);
    std::vector<float> scratch(size_t(4096) * detail::kOutChannels);
    for (;;) {
        std::array<bool, 2> playing{};
        std::array<Clock::time_point, 2> heardAt{};
        {
            std::lock_guard guard(mix);
            for (std::size_t i = 0; i < devices.size(); ++i) {
                playing[i] = anyPlayingLocked(devices[i].stream);
                heardAt[i] = devices[i].lastCallback;
            }
        }
        Sint32 waitMs = -1;
        {
            std::lock_guard guard(devMutex);
            for (std::size_t i = 0; i < devices.size(); ++i) {
                openAheadLocked(devices[i]);
                const Sint32 own =
                    serviceWaitLocked(devices[i], playing[i], playing[std::size_t(Stream::Music)], heardAt[i]);
                if (own >= 0)
                    waitMs = waitMs < 0 ? own : std::min(waitMs, own);
            }
        }
        if (waitMs < 0)
            SDL_SemWait(wake);
        else
            SDL_SemWaitTimeout(wake, Uint32(waitMs));
        if (quitting)
            return;
        serviceRequested = false;
        for (auto &dev : devices)
            raiseCallbackThread(dev);

        {
            std::lock_guard guard(devMutex);
            for (auto &dev : devices)
                watchLocked(dev);
        }
        {
            std::lock_guard guard(mix);
            for (auto &dev : devices)
                advanceSilentlyLocked(dev, Clock::now(), scratch);
            for (const auto &voice : voices)
                if (voice->streaming)
                    streams.push_back(voice);
        }
        for (const auto &voice : streams)
            voice->refill(mix);
        streams.clear();

        // A play that sets a voice playing after the check in idleLocked waits for devMutex in
        // ensureRunning() and resumes the device, or asks for a new one, after this.
        std::lock_guard guard(devMutex);
        for (auto &dev : devices)
            idleLocked(dev);
    }
}

AudioOutput::AudioOutput(int bufferFrames, int closeAfterIdleMs, Connect connect, int musicBufferFrames)
    : d(std::make_shared<Impl>(bufferFrames, closeAfterIdleMs, musicBufferFrames, connect == Connect::AtOnce))
{
    d->start();
}

AudioOutput::~AudioOutput()
{
    // Channels still alive keep the Impl; they find the output shut and cannot open again.
    d->shutdown();
}

std::unique_ptr<SoundChannel> AudioOutput::createChannel(Stream stream)
{
    return std::make_unique<SdlChannel>(d, stream);
}

void AudioOutput::connect() { d->connectNow(); }

bool AudioOutput::isRunning() const
{
    d->waitReady();
    std::lock_guard guard(d->devMutex);
    return std::any_of(d->devices.begin(), d->devices.end(),
                       [](const auto &dev) { return dev.state == Impl::DeviceState::Running; });
}

bool AudioOutput::isDeviceOpen() const
{
    d->waitReady();
    {
        std::lock_guard guard(d->devMutex);
        if (d->anyDeviceLocked())
            return true;
    }
    std::lock_guard guard(d->closeMutex);
    return d->closing > 0;
}

QString AudioOutput::driverName() const
{
    d->waitReady();
    std::lock_guard guard(d->devMutex);
    return d->driver;
}

bool AudioOutput::isSilentFallback() const
{
    d->waitReady();
    std::lock_guard guard(d->devMutex);
    return d->soundLostLocked();
}

int AudioOutput::sampleRate() const
{
    d->waitReady();
    return d->voiceSpec().freq;
}

int AudioOutput::bufferFrames(Stream stream) const
{
    d->waitReady();
    d->voiceSpec();
    std::lock_guard guard(d->devMutex);
    return d->deviceOf(stream).requestedFrames;
}

} // namespace sound
