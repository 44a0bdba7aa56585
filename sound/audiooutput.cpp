#include "sound/audiooutput.h"
#include "sound/audiooutput_p.h"
#include "sound/sdlchannel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sound {

AudioOutput::Impl::Impl(int bufferFrames, int closeAfterIdleMs)
    : requestedFrames(std::clamp(bufferFrames, 64, 8192)), closeAfter(std::max(closeAfterIdleMs, 0))
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Vintra");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Vintra sounds");

    idleSince = Clock::now();
    voices.reserve(16);
    toClose.reserve(8);
    wake = SDL_CreateSemaphore(0);
    readyFuture = readyPromise.get_future().share();
    // SDL keeps per-thread data (its error text) for threads it did not create; these two must
    // hand it back before they end. Connecting to the sound server takes a few milliseconds,
    // so the service thread does it while the window is still being built.
    closer = std::thread([this] { closerLoop(); SDL_TLSCleanup(); });
    service = std::thread([this] {
        startFirstDevice();
        readyPromise.set_value();
        serviceLoop();
        SDL_TLSCleanup();
    });
}

// SDL 2.26 tries its PulseAudio driver before its PipeWire driver, so on a PipeWire desktop it
// talks to pipewire-pulse, and a cue then reaches the server some 25 ms later than through SDL's
// own PipeWire driver (over 150 ms for the first cue after the device was closed). Unless a
// driver was named (SDL_AUDIODRIVER), PipeWire goes first, when a PipeWire server answers and
// has somewhere to play: a desktop may run PipeWire for screen sharing only, with sound on a
// PulseAudio server. Otherwise SDL's own order applies.
static bool initAudioPreferringPipeWire()
{
    if (!SDL_GetHint(SDL_HINT_AUDIODRIVER)) {
        SDL_SetHint(SDL_HINT_AUDIODRIVER, "pipewire");
        const bool started = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        // The driver has listed the server's sinks by the time it has started.
        if (started && SDL_GetNumAudioDevices(0) > 0)
            return true;
        if (started)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    return SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
}

void AudioOutput::Impl::startFirstDevice()
{
    // SDL itself honours SDL_AUDIODRIVER from the environment.
    sdlReady = initAudioPreferringPipeWire();
    const SDL_AudioDeviceID id = openNew();
    if (id == 0) {
        if (sdlReady)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlReady = false;
        spec.freq = 44100;
        spec.channels = detail::kOutChannels;
        spec.samples = Uint16(requestedFrames);
        std::lock_guard guard(mix);
        alive = false;
        return;
    }
    std::lock_guard guard(devMutex);
    device = id;
    idleSince = Clock::now();
}

void AudioOutput::Impl::waitReady() const
{
    readyFuture.wait();
}

AudioOutput::Impl::~Impl()
{
    shutdown();
    SDL_DestroySemaphore(wake);
}

void AudioOutput::Impl::shutdown()
{
    waitReady();
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
    quitting = true;
    SDL_SemPost(wake);
    if (service.joinable())
        service.join();
    {
        std::lock_guard guard(devMutex);
        if (device != 0)
            retireLocked();
    }
    {
        std::lock_guard guard(closeMutex);
        closerQuit = true;
    }
    closed.notify_all();
    if (closer.joinable())
        closer.join(); // it closes everything it was given before it stops
    if (sdlReady) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlReady = false;
    }
}

SDL_AudioDeviceID AudioOutput::Impl::openOnCurrentDriver()
{
    // The first device sets the rate: keep the server's when it differs, because each channel
    // resamples its own sound anyway and a second conversion inside SDL would only add latency.
    // Later devices must keep that rate, since the voices hold samples made for it.
    const bool first = spec.freq == 0;
    SDL_AudioSpec want{};
    want.freq = first ? 44100 : spec.freq;
    want.format = AUDIO_F32SYS;
    want.channels = detail::kOutChannels;
    want.samples = Uint16(requestedFrames);
    want.callback = &Impl::callback;
    want.userdata = this;
    SDL_AudioSpec obtained{};
    const SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(nullptr, 0, &want, &obtained, first ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
    if (id != 0 && first)
        spec = obtained;
    return id;
}

SDL_AudioDeviceID AudioOutput::Impl::openNew()
{
    SDL_AudioDeviceID id = sdlReady ? openOnCurrentDriver() : 0;
    // Drivers without a real server (dummy, and some others) have room for one device only; the
    // old one may still be closing. Waiting is then unavoidable, and short on those drivers.
    if (id == 0 && sdlReady && waitForClosed())
        id = openOnCurrentDriver();
    bool fellBack = false;
    {
        std::lock_guard guard(devMutex);
        fellBack = fallback;
    }
    if (id == 0 && !fellBack) {
        // No sound server or card (or it went away): play into SDL's dummy driver, which keeps
        // real time, so positions still advance and sounds still end. Say so once; it is not
        // an error.
        const QString reason = QString::fromUtf8(SDL_GetError());
        waitForClosed();
        if (sdlReady)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
        sdlReady = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        if (sdlReady)
            id = openOnCurrentDriver();
        std::fprintf(stderr, "vintra: no audio device (%s); sounds will play silently\n",
                     reason.toLocal8Bit().constData());
        std::fflush(stderr);
        std::lock_guard guard(devMutex);
        fallback = true;
    }
    if (id != 0) {
        std::lock_guard guard(devMutex);
        driver = QString::fromUtf8(SDL_GetCurrentAudioDriver());
    }
    return id;
}

void AudioOutput::Impl::retireLocked()
{
    // The device is paused (or about to be closed with the output): its callback no longer
    // runs, and SDL pauses it again under its own lock before closing.
    {
        std::lock_guard guard(closeMutex);
        toClose.push_back(device);
        ++closing;
    }
    closed.notify_all();
    device = 0;
    running = false;
}

bool AudioOutput::Impl::waitForClosed()
{
    std::unique_lock guard(closeMutex);
    if (closing == 0)
        return false;
    closed.wait(guard, [this] { return closing == 0; });
    return true;
}

void AudioOutput::Impl::closerLoop()
{
    std::unique_lock guard(closeMutex);
    for (;;) {
        closed.wait(guard, [this] { return !toClose.empty() || closerQuit; });
        if (toClose.empty())
            return;
        const SDL_AudioDeviceID id = toClose.front();
        toClose.erase(toClose.begin());
        guard.unlock();
        SDL_CloseAudioDevice(id);
        guard.lock();
        --closing;
        closed.notify_all();
    }
}

void AudioOutput::Impl::ensureRunning()
{
    {
        std::lock_guard guard(devMutex);
        if (shutDown)
            return;
        if (device != 0) {
            // Resuming takes SDL's device lock only, which the callback holds for microseconds.
            if (!running) {
                SDL_PauseAudioDevice(device, 0);
                running = true;
            }
            return;
        }
        openWanted = true;
    }
    requestService();
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
    {
        std::lock_guard guard(self->mix);
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

// Decode-ahead for streaming voices; pausing the device once nothing plays (a running callback
// costs CPU even when it only produces silence), and closing it after a while of that (a paused
// SDL device still writes silence to the server).
void AudioOutput::Impl::serviceLoop()
{
    std::vector<std::shared_ptr<detail::Voice>> streams;
    streams.reserve(16);
    auto anyPlaying = [this] {
        std::lock_guard guard(mix);
        return std::any_of(voices.begin(), voices.end(),
                           [](const auto &v) { return v->state == detail::Voice::State::Playing; });
    };
    for (;;) {
        Sint32 waitMs = -1;
        {
            std::lock_guard guard(devMutex);
            if (device != 0 && !running) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(idleSince + closeAfter - Clock::now());
                waitMs = Sint32(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60000));
            }
        }
        if (waitMs < 0)
            SDL_SemWait(wake);
        else
            SDL_SemWaitTimeout(wake, Uint32(waitMs));
        if (quitting)
            return;
        serviceRequested = false;

        // A device first: a cue is waiting for it.
        bool open = false;
        {
            std::lock_guard guard(devMutex);
            open = device == 0 && openWanted;
            openWanted = false;
        }
        if (open) {
            const SDL_AudioDeviceID id = openNew();
            std::lock_guard guard(devMutex);
            device = id;
            running = false;
            idleSince = Clock::now();
            if (id == 0) {
                // Not even the dummy driver: a sound that cannot be heard ends at once instead
                // of reading as playing for ever.
                std::lock_guard voicesGuard(mix);
                for (const auto &voice : voices)
                    if (voice->state == detail::Voice::State::Playing)
                        voice->state = detail::Voice::State::Idle;
            } else if (anyPlaying()) {
                SDL_PauseAudioDevice(device, 0);
                running = true;
            }
        }

        {
            std::lock_guard guard(mix);
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
        if (device == 0 || anyPlaying())
            continue;
        if (running) {
            SDL_PauseAudioDevice(device, 1);
            running = false;
            idleSince = Clock::now();
        } else if (Clock::now() - idleSince >= closeAfter) {
            retireLocked();
        }
    }
}

AudioOutput::AudioOutput(int bufferFrames, int closeAfterIdleMs)
    : d(std::make_shared<Impl>(bufferFrames, closeAfterIdleMs))
{
}

AudioOutput::~AudioOutput()
{
    // Channels still alive keep the Impl; they find the output shut and cannot open again.
    d->shutdown();
}

std::unique_ptr<SoundChannel> AudioOutput::createChannel()
{
    return std::make_unique<SdlChannel>(d);
}

bool AudioOutput::isRunning() const
{
    d->waitReady();
    std::lock_guard guard(d->devMutex);
    return d->device != 0 && d->running;
}

bool AudioOutput::isDeviceOpen() const
{
    d->waitReady();
    {
        std::lock_guard guard(d->devMutex);
        if (d->device != 0)
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
    return d->fallback;
}

int AudioOutput::sampleRate() const
{
    d->waitReady();
    return d->spec.freq;
}

int AudioOutput::bufferFrames() const
{
    d->waitReady();
    return d->spec.samples;
}

} // namespace sound
