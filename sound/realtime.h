#pragma once

// Real-time scheduling for the thread that runs the audio callback. A callback at an ordinary
// priority misses its turn whenever other programs keep both cores busy for longer than one
// buffer (11.6 ms), and the server then plays silence: the music breaks. A desktop grants sound
// threads real time through rtkit; this asks for it the same way, or directly where the process
// may (root, or an RLIMIT_RTPRIO of its own).

#include <cstdint>

namespace sound {

// The calling thread's id, as realtime scheduling knows it (0 where there is none).
std::int64_t currentThreadId();

// Moves thread `id` of this process to real-time scheduling, below the sound server's own
// priority. Returns false, and changes nothing, where neither way is allowed or supported.
bool makeThreadRealtime(std::int64_t id);

// The same for the threads the audio library runs beside the callback and that every buffer
// passes through: SDL 2.28 and later (and SDL 3 under sdl2-compat) talk to PulseAudio from a
// mainloop thread of their own, "PulseMainloop", where SDL 2.26 did it on the callback's thread.
// At an ordinary priority that thread, not the callback, made the music break under load (on
// Debian 13, 110 gaps in 30 s of music beside two busy cores; none once it ran at real time).
// Returns false when one of them could not be moved.
bool makeAudioLibraryThreadsRealtime();

} // namespace sound
