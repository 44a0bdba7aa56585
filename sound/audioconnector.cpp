// The audio back end's calls that may wait for the sound server, without a time limit when the
// server is stopped: starting SDL's audio, opening and closing devices. They run on the
// connector and the closer only; whatever the GUI thread, the callback or the service thread
// call lives in audiooutput.cpp and never waits for the server.

#include "sound/audiooutput_p.h"

#include <algorithm>

namespace sound {

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

SDL_AudioDeviceID AudioOutput::Impl::openOnCurrentDriver()
{
    // The first device sets the rate: keep the server's when it differs, because each channel
    // resamples its own sound anyway and a second conversion inside SDL would only add latency.
    // Later devices must keep that rate, since the voices hold samples made for it. A channel
    // may have fixed a default rate while this open waited for the server: then the device
    // just opened is the wrong one, and the next open asks for the voices' rate.
    for (int round = 0; round < 2; ++round) {
        bool first = false;
        SDL_AudioSpec want{};
        {
            std::lock_guard guard(devMutex);
            first = !specKnown;
            want.freq = first ? 44100 : spec.freq;
        }
        want.format = AUDIO_F32SYS;
        want.channels = detail::kOutChannels;
        want.samples = Uint16(requestedFrames);
        want.callback = &Impl::callback;
        want.userdata = this;
        SDL_AudioSpec obtained{};
        const SDL_AudioDeviceID id =
            SDL_OpenAudioDevice(nullptr, 0, &want, &obtained, first ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
        if (id == 0 || !first)
            return id;
        std::lock_guard guard(devMutex);
        if (!specKnown) {
            spec = obtained;
            specKnown = true;
            specFixed.notify_all();
            return id;
        }
        if (obtained.freq == spec.freq)
            return id;
        handToCloserLocked(id);
    }
    return 0;
}

// One try at a device, on the connector. restartSubsystem: start SDL's audio anew first, which
// is the only way to reach a server that has died and come back.
void AudioOutput::Impl::attempt(bool restartSubsystem)
{
    // SDL itself honours SDL_AUDIODRIVER from the environment.
    if (restartSubsystem || !sdlReady) {
        waitForClosed(); // no device of the old driver may outlive it
        if (sdlReady)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlReady = initAudioPreferringPipeWire();
    }
    SDL_AudioDeviceID id = sdlReady ? openOnCurrentDriver() : 0;
    // Drivers without a real server (dummy, and some others) have room for one device only; the
    // old one may still be closing. Waiting is then unavoidable, and short on those drivers.
    if (id == 0 && sdlReady && waitForClosed())
        id = openOnCurrentDriver();
    // The server may have gone and come back while no device was open.
    if (id == 0 && !restartSubsystem) {
        if (sdlReady)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlReady = initAudioPreferringPipeWire();
        id = sdlReady ? openOnCurrentDriver() : 0;
    }
    const QString reason = QString::fromUtf8(SDL_GetError());
    const QString driverNow = sdlReady ? QString::fromUtf8(SDL_GetCurrentAudioDriver()) : QString();

    std::lock_guard guard(devMutex);
    lastAttempt = Clock::now();
    if (!firstDone) {
        firstDone = true;
        readyChanged.notify_all();
    }
    if (id == 0) {
        fixDefaultSpecLocked();
        missingLocked(reason);
        return;
    }
    if (shutDown) {
        handToCloserLocked(id);
        return;
    }
    driver = driverNow;
    bool playing = false;
    {
        std::lock_guard voicesGuard(mix);
        playing = anyPlayingLocked();
    }
    openedLocked(id, playing);
}

void AudioOutput::Impl::connectorLoop()
{
    {
        // A play asks for a device whether or not the output was told to connect yet.
        std::unique_lock guard(devMutex);
        connectWake.wait(guard, [this] { return !connectHeld || openWanted || shutDown; });
        if (shutDown)
            return;
        connectHeld = false;
    }
    attempt(false);
    std::unique_lock guard(devMutex);
    // Something plays, or wants to: a device is worth a try every kRetry. Otherwise the tries
    // thin out, since each one costs the audio libraries' whole search for a device.
    const auto wantsSound = [this] {
        if (openWanted)
            return true;
        std::lock_guard voicesGuard(mix);
        return anyPlayingLocked();
    };
    const auto retryAt = [&] { return lastAttempt + (wantsSound() ? kRetry : retryDelay); };
    for (;;) {
        if (shutDown)
            return;
        const bool due = state == DeviceState::Missing && Clock::now() >= retryAt();
        const bool open = state == DeviceState::Lost || (openWanted && state == DeviceState::None) || due;
        if (!open) {
            // A play notifies, and the time left is then worked out anew.
            if (state == DeviceState::Missing)
                connectWake.wait_until(guard, retryAt());
            else
                connectWake.wait(guard);
            continue;
        }
        // After a lost device or none at all, only starting SDL's audio anew reaches a server
        // that died and came back.
        const bool restart = soundLostLocked();
        const bool wanted = wantsSound();
        openWanted = false;
        guard.unlock();
        attempt(restart);
        guard.lock();
        retryDelay = !soundLostLocked() || wanted ? kRetry : std::min(retryDelay * 2, kRetryIdleMax);
    }
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

} // namespace sound
