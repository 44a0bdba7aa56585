// Where SDL uses no ALSA, the audio libraries do not write to stderr by themselves.

#include "sound/audiolog.h"

namespace sound {

void quietAudioLibraries() {}

} // namespace sound
