// ALSA prints its errors to stderr unless the process hands it a handler. SDL loads the same
// libasound, so the handler set here covers SDL's tries too.

#include "sound/audiolog.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>

namespace sound {

namespace {

void alsaError(const char *file, int line, const char *function, int err, const char *fmt, ...)
{
    if (!lcAudio().isDebugEnabled())
        return;
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    qCDebug(lcAudio, "ALSA %s:%d (%s) %s%s%s", file, line, function, text, err ? ": " : "",
            err ? snd_strerror(err) : "");
}

} // namespace

void quietAudioLibraries() { snd_lib_error_set_handler(&alsaError); }

} // namespace sound
