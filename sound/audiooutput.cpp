#include "sound/audiooutput.h"
#include "sound/audiooutput_p.h"
#include "sound/sdlchannel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sound {

namespace {

SDL_AudioDeviceID openDevice(AudioOutput::Impl *impl, int frames, SDL_AudioSpec *obtained)
{
    SDL_AudioSpec want{};
    want.freq = 44100;
    want.format = AUDIO_F32SYS;
    want.channels = detail::kOutChannels;
    want.samples = Uint16(frames);
    want.callback = &AudioOutput::Impl::callback;
    want.userdata = impl;
    // Keep the server's rate when it differs: each channel resamples its own sound anyway, and a
    // second conversion inside SDL would only add latency.
    return SDL_OpenAudioDevice(nullptr, 0, &want, obtained, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
}

} // namespace

AudioOutput::Impl::Impl(int bufferFrames) : requestedFrames(std::clamp(bufferFrames, 64, 8192))
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Vintra");
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Vintra sounds");

    // SDL itself honours SDL_AUDIODRIVER from the environment.
    bool initialised = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (initialised)
        device = openDevice(this, requestedFrames, &spec);
    if (device == 0) {
        // No sound server or card: play into SDL's dummy driver, which keeps real time, so
        // positions still advance and sounds still end. Say so once; it is not an error.
        const QString reason = QString::fromUtf8(SDL_GetError());
        if (initialised)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
        initialised = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        if (initialised)
            device = openDevice(this, requestedFrames, &spec);
        fallback = true;
        std::fprintf(stderr, "vintra: no audio device (%s); sounds will play silently\n",
                     reason.toLocal8Bit().constData());
        std::fflush(stderr);
    }
    if (device != 0) {
        driver = QString::fromUtf8(SDL_GetCurrentAudioDriver());
    } else {
        if (initialised)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        spec.freq = 44100;
        spec.channels = detail::kOutChannels;
        spec.samples = Uint16(requestedFrames);
    }
    voices.reserve(16);
    wake = SDL_CreateSemaphore(0);
    service = std::thread([this] { serviceLoop(); });
}

AudioOutput::Impl::~Impl()
{
    shutdown();
    SDL_DestroySemaphore(wake);
}

void AudioOutput::Impl::shutdown()
{
    lock();
    for (const auto &voice : voices)
        voice->state = detail::Voice::State::Idle;
    unlock();
    quitting = true;
    SDL_SemPost(wake);
    if (service.joinable())
        service.join();
    if (device != 0) {
        SDL_CloseAudioDevice(device);
        device = 0;
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
}

void AudioOutput::Impl::lock() const
{
    if (device != 0)
        SDL_LockAudioDevice(device);
}

void AudioOutput::Impl::unlock() const
{
    if (device != 0)
        SDL_UnlockAudioDevice(device);
}

void AudioOutput::Impl::runLocked()
{
    if (!running && device != 0) {
        SDL_PauseAudioDevice(device, 0);
        running = true;
    }
}

void AudioOutput::Impl::addVoice(std::shared_ptr<detail::Voice> voice)
{
    lock();
    voices.push_back(std::move(voice));
    unlock();
}

void AudioOutput::Impl::removeVoice(const detail::Voice *voice)
{
    std::shared_ptr<detail::Voice> keep; // destroyed after the lock is released
    lock();
    auto it = std::find_if(voices.begin(), voices.end(), [voice](const auto &v) { return v.get() == voice; });
    if (it != voices.end()) {
        keep = std::move(*it);
        voices.erase(it);
    }
    unlock();
}

void AudioOutput::Impl::requestService()
{
    if (!serviceRequested.exchange(true))
        SDL_SemPost(wake);
}

// Runs on SDL's audio thread with the device lock held. No allocation, no files, no waiting.
void SDLCALL AudioOutput::Impl::callback(void *userdata, Uint8 *stream, int len)
{
    auto *self = static_cast<Impl *>(userdata);
    auto *mix = reinterpret_cast<float *>(stream);
    const int frames = len / int(sizeof(float) * detail::kOutChannels);
    std::memset(stream, 0, size_t(len));

    bool anyPlaying = false;
    bool wantRefill = false;
    for (const auto &voice : self->voices) {
        if (voice->state != detail::Voice::State::Playing)
            continue;
        wantRefill |= voice->mixInto(mix, frames);
        anyPlaying |= voice->state == detail::Voice::State::Playing;
    }
    for (int i = 0; i < frames * detail::kOutChannels; ++i)
        mix[i] = std::clamp(mix[i], -1.0f, 1.0f);

    if (wantRefill || !anyPlaying)
        self->requestService();
}

// Decode-ahead for streaming voices, and pausing the device once nothing plays (a running
// callback costs CPU even when it only produces silence).
void AudioOutput::Impl::serviceLoop()
{
    std::vector<std::shared_ptr<detail::Voice>> streams;
    streams.reserve(16);
    for (;;) {
        SDL_SemWait(wake);
        if (quitting)
            return;
        serviceRequested = false;

        streams.clear();
        lock();
        for (const auto &voice : voices)
            if (voice->streaming)
                streams.push_back(voice);
        unlock();
        for (const auto &voice : streams)
            voice->refill(device);
        streams.clear();

        lock();
        const bool anyPlaying = std::any_of(voices.begin(), voices.end(), [](const auto &v) {
            return v->state == detail::Voice::State::Playing;
        });
        if (!anyPlaying && running) {
            SDL_PauseAudioDevice(device, 1);
            running = false;
        }
        unlock();
    }
}

AudioOutput::AudioOutput(int bufferFrames) : d(std::make_shared<Impl>(bufferFrames)) {}

AudioOutput::~AudioOutput()
{
    // Channels still alive keep the Impl; they find the device gone and cannot open again.
    d->shutdown();
}

std::unique_ptr<SoundChannel> AudioOutput::createChannel()
{
    return std::make_unique<SdlChannel>(d);
}

bool AudioOutput::isRunning() const
{
    return d->device != 0 && SDL_GetAudioDeviceStatus(d->device) == SDL_AUDIO_PLAYING;
}

QString AudioOutput::driverName() const
{
    return d->driver;
}

bool AudioOutput::isSilentFallback() const
{
    return d->fallback;
}

int AudioOutput::sampleRate() const
{
    return d->spec.freq;
}

int AudioOutput::bufferFrames() const
{
    return d->spec.samples;
}

} // namespace sound
