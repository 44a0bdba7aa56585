#include "sound/audiolog.h"

namespace sound {

Q_LOGGING_CATEGORY(lcAudio, "vintra.audio", QtInfoMsg)

} // namespace sound
