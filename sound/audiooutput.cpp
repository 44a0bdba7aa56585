#include "sound/audiooutput.h"
#include "sound/audiolog.h"
#include "sound/audiooutput_p.h"
#include "sound/realtime.h"
#include "sound/sdlchannel.h"

#include <algorithm>
#include <cstring>

namespace sound {

AudioOutput::Impl::Impl(int bufferFrames, int closeAfterIdleMs, bool connectAtOnce)
    : requestedFrames(std::clamp(bufferFrames, 64, 8192)), closeAfter(std::max(closeAfterIdleMs, 0)),
      connectHeld(!connectAtOnce)
{
    quietAudioLibraries();
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Vintra");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Vintra sounds");
    // SDL's own audio thread (PulseAudio, ALSA) asks for real time, not only a better nice
    // value, and rtkit can grant it: see realtime.h.
    SDL_SetHint(SDL_HINT_THREAD_FORCE_REALTIME_TIME_CRITICAL, "1");

    idleSince = lastAttempt = lastCallback = advancedTo = Clock::now();
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
    spec.samples = Uint16(requestedFrames);
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
        if (hasDeviceLocked())
            retireLocked();
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
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
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

void AudioOutput::Impl::openedLocked(SDL_AudioDeviceID id, bool playing)
{
    Q_ASSERT(!hasDeviceLocked());
    device = id;
    state = DeviceState::Paused;
    callbacksAtOpen = callbacks.load();
    idleSince = Clock::now();
    if (playing)
        resumeLocked(); // sound is back once this device has asked for some: the service thread tells
    else
        sayBackLocked();
    requestService(); // to watch the new device
}

void AudioOutput::Impl::missingLocked(const QString &reason)
{
    Q_ASSERT(!hasDeviceLocked());
    state = DeviceState::Missing;
    // Not an error for the user: the voices go on in silence, and the connector keeps looking
    // for a device.
    sayLostLocked(QStringLiteral("no audio device (%1); sounds play silently until one is back").arg(reason));
}

void AudioOutput::Impl::resumeLocked()
{
    Q_ASSERT(state == DeviceState::Paused);
    SDL_PauseAudioDevice(device, 0);
    state = DeviceState::Running;
    runningSince = Clock::now();
    // Only running time counts towards the deadline, and plays that come while the callback is
    // still awaited do not start it afresh: a cue every second must not keep a dead device
    // alive, and a device paused before it could call back (a sound stopped at once) must not
    // be blamed for the time it spent paused.
    awaitingSince = runningSince;
    if (!awaitingCallback && callbacks.load() != callbacksAtOpen) {
        awaitingCallback = true;
        awaitedBefore = {};
        awaitedFrom = runningSince;
        callbacksAtResume = callbacks.load();
    }
}

void AudioOutput::Impl::pauseLocked()
{
    Q_ASSERT(state == DeviceState::Running);
    SDL_PauseAudioDevice(device, 1);
    state = DeviceState::Paused;
    idleSince = Clock::now();
    if (awaitingCallback)
        awaitedBefore += idleSince - awaitingSince;
}

std::optional<AudioOutput::Impl::Clock::time_point> AudioOutput::Impl::startDueLocked() const
{
    if (!awaitingCallback)
        return std::nullopt;
    if (state == DeviceState::Running) {
        // The moment its running time reaches the limit, or, once it has had its chance, the
        // limit after the play that resumed it, whichever comes first.
        const auto ranFrom = awaitingSince - awaitedBefore;
        return std::min(ranFrom + kFirstCallbackWithin,
                        std::max(awaitedFrom + kFirstCallbackWithin, ranFrom + kHadItsChance));
    }
    if (state == DeviceState::Paused && awaitedBefore >= kHadItsChance)
        return awaitedFrom + kFirstCallbackWithin;
    return std::nullopt;
}

void AudioOutput::Impl::retireLocked()
{
    Q_ASSERT(hasDeviceLocked());
    // SDL pauses it again under its own lock before closing.
    handToCloserLocked(device);
    device = 0;
    state = DeviceState::None;
    awaitingCallback = false;
}

void AudioOutput::Impl::deviceLostLocked(const char *why)
{
    retireLocked();
    state = DeviceState::Lost;
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

void AudioOutput::Impl::ensureRunning()
{
    {
        std::lock_guard guard(devMutex);
        if (shutDown)
            return;
        if (hasDeviceLocked() && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED)
            deviceLostLocked("it stopped");
        if (hasDeviceLocked()) {
            if (state == DeviceState::Paused) {
                resumeLocked();
                // The service thread may be sleeping out an idle device's long wait. A server
                // that does not ask for sound yet (one just started, or a stopped one) keeps the
                // callback away for hundreds of milliseconds: the voices must move on in their
                // time meanwhile, or the late callback plays the whole cue from its start, late.
                requestService();
            }
            return;
        }
        openWanted = true;
    }
    connectWake.notify_all();
    requestService(); // the voices move on in silence until a device runs
}

bool AudioOutput::Impl::anyPlayingLocked() const
{
    return std::any_of(voices.begin(), voices.end(),
                       [](const auto &v) { return v->state == detail::Voice::State::Playing; });
}

void AudioOutput::Impl::startVoiceLocked(detail::Voice &voice)
{
    if (!anyPlayingLocked())
        lastCallback = advancedTo = Clock::now();
    voice.state = detail::Voice::State::Playing;
}

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
    auto *self = static_cast<Impl *>(userdata);
    auto *mix = reinterpret_cast<float *>(stream);
    const int frames = len / int(sizeof(float) * detail::kOutChannels);
    std::memset(stream, 0, size_t(len));

    bool anyPlaying = false;
    bool wantRefill = false;
    self->callbacks.fetch_add(1, std::memory_order_relaxed);
    // A new device may call from a new thread; the service thread raises its priority.
    if (const auto thread = currentThreadId(); self->callbackThread.load(std::memory_order_relaxed) != thread) {
        self->callbackThread.store(thread, std::memory_order_relaxed);
        self->requestService();
    }
    {
        std::lock_guard guard(self->mix);
        self->lastCallback = self->advancedTo = Clock::now();
        for (const auto &voice : self->voices) {
            if (voice->state != detail::Voice::State::Playing)
                continue;
            wantRefill |= voice->mixInto(mix, frames);
            anyPlaying |= voice->state == detail::Voice::State::Playing;
        }
    }
    for (int i = 0; i < frames * detail::kOutChannels; ++i)
        mix[i] = std::clamp(mix[i], -1.0f, 1.0f);

    if (wantRefill || !anyPlaying)
        self->requestService();
}

void AudioOutput::Impl::advanceSilentlyLocked(Clock::time_point now, std::vector<float> &scratch)
{
    if (now - lastCallback < kStall || !anyPlayingLocked())
        return;
    const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - advancedTo).count();
    qint64 frames = gap * spec.freq / 1000000;
    if (frames <= 0)
        return;
    // Whole frames only, so no time is lost to rounding from one step to the next.
    advancedTo += std::chrono::microseconds(frames * 1000000 / spec.freq);
    const qint64 chunk = qint64(scratch.size()) / detail::kOutChannels;
    while (frames > 0) {
        const int n = int(std::min(frames, chunk));
        for (const auto &voice : voices)
            if (voice->state == detail::Voice::State::Playing)
                voice->mixInto(scratch.data(), n);
        frames -= n;
    }
}

void AudioOutput::Impl::raiseCallbackThread()
{
    const std::int64_t thread = callbackThread.load(std::memory_order_relaxed);
    if (thread == 0 || thread == raisedThread)
        return;
    raisedThread = thread;
    if (!makeThreadRealtime(thread))
        qCDebug(lcAudio, "the audio callback runs without real-time priority; music may break under load");
}

// Decode-ahead for streaming voices; pausing the device once nothing plays (a running callback
// costs CPU even when it only produces silence), and closing it after a while of that (a paused
// SDL device still writes silence to the server); watching the device, and standing in for it
// while no callback runs.
void AudioOutput::Impl::serviceLoop()
{
    std::vector<std::shared_ptr<detail::Voice>> streams;
    streams.reserve(16);
    std::vector<float> scratch(size_t(4096) * detail::kOutChannels);
    for (;;) {
        bool playing = false;
        Clock::time_point heardAt;
        {
            std::lock_guard guard(mix);
            playing = anyPlayingLocked();
            heardAt = lastCallback;
        }
        Sint32 waitMs = -1;
        {
            std::lock_guard guard(devMutex);
            if (playing) {
                // Short steps while standing in for a missing callback, so the voices move
                // smoothly and a ring never runs dry; otherwise often enough to notice a lost
                // device in time.
                const auto now = Clock::now();
                const bool standingIn = state != DeviceState::Running || now - heardAt >= kStall;
                // Waking when a callback would be kStall overdue, so standing in starts on time.
                const auto untilStall = std::chrono::ceil<std::chrono::milliseconds>(heardAt + kStall - now);
                waitMs =
                    standingIn ? 20 : Sint32(std::clamp<std::chrono::milliseconds::rep>(untilStall.count(), 1, 100));
            } else if (state == DeviceState::Paused) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(idleSince + closeAfter - Clock::now());
                waitMs = Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 500));
            } else if (state == DeviceState::Running) {
                waitMs = 100;
            }
            if (const auto due = startDueLocked()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
                const Sint32 untilDue = Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 1, 1000));
                waitMs = waitMs < 0 ? untilDue : std::min(waitMs, untilDue);
            }
        }
        if (waitMs < 0)
            SDL_SemWait(wake);
        else
            SDL_SemWaitTimeout(wake, Uint32(waitMs));
        if (quitting)
            return;
        serviceRequested = false;
        raiseCallbackThread();

        {
            std::lock_guard guard(devMutex);
            if (hasDeviceLocked()) {
                bool stillPlaying = false;
                {
                    std::lock_guard voicesGuard(mix);
                    stillPlaying = anyPlayingLocked();
                    heardAt = lastCallback;
                }
                const auto now = Clock::now();
                const bool running = state == DeviceState::Running;
                const bool stale = running && now - std::max(heardAt, runningSince) > kLostAfter;
                if (awaitingCallback && callbacks.load() != callbacksAtResume)
                    awaitingCallback = false;
                if (SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED)
                    deviceLostLocked("it stopped");
                else if (const auto due = startDueLocked(); awaitingCallback && due && now >= *due)
                    deviceLostLocked("it did not start");
                else if (stale && stillPlaying)
                    deviceLostLocked("it stopped asking for sound");
                else if (running && heardAt > runningSince)
                    sayBackLocked();
            }
        }
        {
            std::lock_guard guard(mix);
            advanceSilentlyLocked(Clock::now(), scratch);
            for (const auto &voice : voices)
                if (voice->streaming)
                    streams.push_back(voice);
        }
        for (const auto &voice : streams)
            voice->refill(mix);
        streams.clear();

        // A play that sets a voice playing after the check below waits for devMutex in
        // ensureRunning() and resumes the device, or asks for a new one, after this.
        std::lock_guard guard(devMutex);
        bool nowPlaying = false;
        {
            std::lock_guard voicesGuard(mix);
            nowPlaying = anyPlayingLocked();
        }
        if (!hasDeviceLocked() || nowPlaying)
            continue;
        if (state == DeviceState::Running)
            pauseLocked();
        else if (Clock::now() - idleSince >= closeAfter) {
            retireLocked();
        }
    }
}

AudioOutput::AudioOutput(int bufferFrames, int closeAfterIdleMs, Connect connect)
    : d(std::make_shared<Impl>(bufferFrames, closeAfterIdleMs, connect == Connect::AtOnce))
{
    d->start();
}

AudioOutput::~AudioOutput()
{
    // Channels still alive keep the Impl; they find the output shut and cannot open again.
    d->shutdown();
}

std::unique_ptr<SoundChannel> AudioOutput::createChannel() { return std::make_unique<SdlChannel>(d); }

void AudioOutput::connect() { d->connectNow(); }

bool AudioOutput::isRunning() const
{
    d->waitReady();
    std::lock_guard guard(d->devMutex);
    return d->state == Impl::DeviceState::Running;
}

bool AudioOutput::isDeviceOpen() const
{
    d->waitReady();
    {
        std::lock_guard guard(d->devMutex);
        if (d->hasDeviceLocked())
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

int AudioOutput::bufferFrames() const
{
    d->waitReady();
    return d->voiceSpec().samples;
}

} // namespace sound
