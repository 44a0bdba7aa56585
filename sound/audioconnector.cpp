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
bool AudioOutput::Impl::initAudioPreferringPipeWire()
{
    if (!SDL_GetHint(SDL_HINT_AUDIODRIVER)) {
        SDL_SetHint(SDL_HINT_AUDIODRIVER, "pipewire");
        const bool started = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
        // The driver has listed the server's sinks by the time it has started.
        if (started && SDL_GetNumAudioDevices(0) > 0)
            return true;
        if (started)
            quitAudio();
    }
    return SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
}

// SDL 3, under its SDL 2 layer, destroys every audio stream when its audio stops, our voices'
// converters among them, where SDL 2 leaves them be: a streaming voice would go on with a
// converter that is gone (a use after free; the music ran to its end at once in a forky root
// after a server restart). So every streaming voice drops its converter first, under its decode
// lock so that no decoding runs meanwhile, and makes a new one at its next decode. What the old
// one still held, a few milliseconds, is lost; the ring ahead of it plays on.
void AudioOutput::Impl::quitAudio()
{
    std::vector<std::shared_ptr<detail::Voice>> streaming;
    {
        std::lock_guard voicesGuard(mix);
        for (const auto &voice : voices)
            if (voice->streaming)
                streaming.push_back(voice);
    }
    std::vector<std::unique_lock<std::mutex>> decoding;
    decoding.reserve(streaming.size());
    for (const auto &voice : streaming) {
        decoding.emplace_back(voice->decodeMutex);
        voice->dropConverterLocked();
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// SDL 3, under its SDL 2 layer (sdl2-compat, as on Debian 14), hands a device's loss and a
// change of the default device to the thread that started SDL's events, the connector here, and
// acts on them only when that thread pumps SDL's events. Until then a device of a server that
// died keeps calling back as if it played, and a device opened after the default changed plays
// to the old one, which is gone. SDL 2 posts the same events by itself and acts at once.
// Returns the devices SDL says were removed; 0 stands for every device we play on: SDL 3 names
// only the default device, not ours, which it keeps for a new default to come, and with no
// device left there will be none.
std::vector<SDL_AudioDeviceID> AudioOutput::Impl::removedDevices()
{
    SDL_PumpEvents();
    std::vector<SDL_AudioDeviceID> gone;
    bool unnamed = false;
    std::array<SDL_Event, 8> events{};
    int got = 0;
    while ((got = SDL_PeepEvents(events.data(), int(events.size()), SDL_GETEVENT, SDL_AUDIODEVICEREMOVED,
                                 SDL_AUDIODEVICEREMOVED)) > 0) {
        for (int i = 0; i < got; ++i) {
            const SDL_AudioDeviceEvent &removed = events[size_t(i)].adevice;
            if (removed.iscapture)
                continue;
            devicesRemoved = true;
            if (removed.which != 0)
                gone.push_back(removed.which);
            else
                unnamed = true;
        }
    }
    // Nobody else reads SDL's events: the queue must not grow with every device that comes.
    SDL_FlushEvent(SDL_AUDIODEVICEADDED);
    if (unnamed && SDL_GetNumAudioDevices(0) <= 0)
        gone.push_back(0);
    return gone;
}

SDL_AudioDeviceID AudioOutput::Impl::openOnCurrentDriver(StreamDevice &dev)
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
        want.samples = Uint16(dev.requestedFrames);
        want.callback = &Impl::callback;
        want.userdata = &dev;
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

// One try at the devices that are wanted, on the connector. restartSubsystem: start SDL's audio
// anew first, which is the only way to reach a server that has died and come back; it ends
// every device, so whatever still had one is retired first.
void AudioOutput::Impl::attempt(bool restartSubsystem)
{
    // SDL 3 may keep the default device it knew, gone, when devices come and go while none of
    // ours is open (PipeWire's "Dummy Output" before the first sink): a device opened on it
    // plays nowhere, and calls back as if it played. Once a device has gone, a new open starts
    // SDL's audio anew, which lists the devices as they are now.
    if (sdlReady && !restartSubsystem) {
        removedDevices(); // any of ours that went were retired already
        std::lock_guard guard(devMutex);
        restartSubsystem = devicesRemoved && !anyDeviceLocked();
    }
    std::vector<StreamDevice *> wanted;
    bool probeSharing = false;
    {
        std::lock_guard guard(devMutex);
        if (restartSubsystem || !sdlReady) {
            std::lock_guard voicesGuard(mix);
            for (auto &dev : devices) {
                if (dev.hasDeviceLocked()) {
                    dev.openWanted = dev.openWanted || anyPlayingLocked(dev.stream);
                    retireLocked(dev);
                }
            }
            // A new driver may have room for both devices.
            sharedDevice = false;
            probeSharing = true;
        }
        for (auto &dev : devices) {
            if (dev.hasDeviceLocked())
                continue;
            const bool wants = dev.state == DeviceState::Lost || dev.state == DeviceState::Missing || dev.openWanted;
            // The cues' device also opens at the first try, so the first cue need not wait for it.
            if (wants || (dev.stream == Stream::Cues && !firstDone))
                wanted.push_back(&dev);
            dev.openWanted = false;
        }
        if (sharedDevice)
            wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                                        [](const StreamDevice *dev) { return dev->stream == Stream::Music; }),
                         wanted.end());
    }
    // SDL itself honours SDL_AUDIODRIVER from the environment.
    if (restartSubsystem || !sdlReady) {
        waitForClosed(); // no device of the old driver may outlive it
        if (sdlReady)
            quitAudio();
        sdlReady = initAudioPreferringPipeWire();
        devicesRemoved = false;
    }
    std::vector<SDL_AudioDeviceID> ids;
    QString reason;
    for (StreamDevice *dev : wanted) {
        SDL_AudioDeviceID id = sdlReady ? openOnCurrentDriver(*dev) : 0;
        // Drivers without a real server (dummy, and some others) have room for one device only;
        // the old one may still be closing. Waiting is then unavoidable, and short on those drivers.
        if (id == 0 && sdlReady && waitForClosed())
            id = openOnCurrentDriver(*dev);
        // The server may have gone and come back while no device was open.
        if (id == 0 && !restartSubsystem && ids.empty()) {
            bool noneOpen = false;
            {
                std::lock_guard guard(devMutex);
                noneOpen = !anyDeviceLocked();
            }
            if (noneOpen) {
                if (sdlReady)
                    quitAudio();
                sdlReady = initAudioPreferringPipeWire();
                probeSharing = true;
                id = sdlReady ? openOnCurrentDriver(*dev) : 0;
            }
        }
        if (id == 0)
            reason = QString::fromUtf8(SDL_GetError());
        ids.push_back(id);
    }
    // Whether the music gets a device of its own. A driver that has room for a single device
    // only (ALSA on a card without mixing, SDL's dummy driver) plays the music through the cues'
    // device, and so does one without a server to hold audio ahead (SDL's dummy and disk
    // drivers: the disk driver writes each device to the same file).
    const QString driverNow = sdlReady ? QString::fromUtf8(SDL_GetCurrentAudioDriver()) : QString();
    bool shareNow = false;
    bool probed = false;
    if (probeSharing && sdlReady && !wanted.empty() && wanted.front()->stream == Stream::Cues && ids.front() != 0 &&
        (wanted.size() == 1 || ids.back() == 0)) {
        probed = true;
        if (driverNow == QLatin1String("disk") || driverNow == QLatin1String("dummy")) {
            shareNow = true;
        } else {
            const SDL_AudioDeviceID second = wanted.size() == 1 ? openOnCurrentDriver(deviceOf(Stream::Music)) : 0;
            shareNow = second == 0;
            if (second != 0) {
                std::lock_guard guard(devMutex);
                handToCloserLocked(second);
            }
        }
    }

    std::lock_guard guard(devMutex);
    lastAttempt = Clock::now();
    if (!firstDone) {
        firstDone = true;
        readyChanged.notify_all();
    }
    if (probed) {
        std::lock_guard voicesGuard(mix);
        sharedDevice = shareNow;
    }
    if (wanted.empty() || std::find(ids.begin(), ids.end(), 0U) != ids.end())
        fixDefaultSpecLocked();
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        StreamDevice &dev = *wanted[i];
        const SDL_AudioDeviceID id = ids[i];
        if (dev.stream == Stream::Music && sharedDevice) {
            if (id != 0)
                handToCloserLocked(id);
            dev.state = DeviceState::None; // its voices go to the cues' device
            continue;
        }
        if (id != 0 && shutDown) {
            handToCloserLocked(id);
            continue;
        }
        if (id == 0) {
            missingLocked(dev, reason);
            continue;
        }
        driver = driverNow;
        bool playing = false;
        {
            std::lock_guard voicesGuard(mix);
            playing = anyPlayingLocked(dev.stream);
        }
        openedLocked(dev, id, playing);
    }
}

void AudioOutput::Impl::connectorLoop()
{
    {
        // A play asks for a device whether or not the output was told to connect yet.
        std::unique_lock guard(devMutex);
        connectWake.wait(guard, [this] {
            return !connectHeld || deviceOf(Stream::Cues).openWanted || deviceOf(Stream::Music).openWanted || shutDown;
        });
        if (shutDown)
            return;
        connectHeld = false;
    }
    attempt(false);
    std::unique_lock guard(devMutex);
    // Something plays, or wants to: a device is worth a try every kRetry. Otherwise the tries
    // thin out, since each one costs the audio libraries' whole search for a device.
    const auto wantsSound = [this] {
        if (std::any_of(devices.begin(), devices.end(), [](const auto &dev) { return dev.openWanted; }))
            return true;
        std::lock_guard voicesGuard(mix);
        return anyPlayingLocked();
    };
    const auto retryAt = [&] { return lastAttempt + (wantsSound() ? kRetry : retryDelay); };
    for (;;) {
        if (shutDown)
            return;
        {
            // The music's device is looked for only while music wants to play; the cues' keeps
            // being looked for, so that a server that appears later is used at once.
            std::lock_guard voicesGuard(mix);
            StreamDevice &music = deviceOf(Stream::Music);
            if (music.state == DeviceState::Missing && !music.openWanted && !anyPlayingLocked(Stream::Music))
                music.state = DeviceState::None;
        }
        if (sdlReady && anyDeviceLocked()) {
            guard.unlock();
            const std::vector<SDL_AudioDeviceID> gone = removedDevices();
            guard.lock();
            for (auto &dev : devices) {
                if (dev.hasDeviceLocked() && std::any_of(gone.begin(), gone.end(), [&dev](SDL_AudioDeviceID id) {
                        return id == 0 || id == dev.id;
                    }))
                    deviceLostLocked(dev, "it was removed");
            }
            if (shutDown)
                return;
        }
        const bool missing = std::any_of(devices.begin(), devices.end(),
                                         [](const auto &dev) { return dev.state == DeviceState::Missing; });
        const bool due = missing && Clock::now() >= retryAt();
        const bool open =
            std::any_of(devices.begin(), devices.end(),
                        [](const auto &dev) {
                            return dev.state == DeviceState::Lost || (dev.openWanted && dev.state == DeviceState::None);
                        }) ||
            due;
        if (!open) {
            // A play notifies, and the time left is then worked out anew. While a device is
            // open, SDL's events are looked at every kWatchEvents.
            const bool watching = sdlReady && anyDeviceLocked();
            if (missing && watching)
                connectWake.wait_until(guard, std::min(retryAt(), Clock::now() + kWatchEvents));
            else if (missing)
                connectWake.wait_until(guard, retryAt());
            else if (watching)
                connectWake.wait_for(guard, kWatchEvents);
            else
                connectWake.wait(guard);
            continue;
        }
        // After a lost device or none at all, only starting SDL's audio anew reaches a server
        // that died and came back.
        const bool restart = soundLostLocked();
        const bool wanted = wantsSound();
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
