#include "sound/realtime.h"

namespace sound {

// SDL raises its own audio thread to time-critical priority where no permission is needed
// (Windows); nothing more can be asked for here.
std::int64_t currentThreadId() { return 0; }

bool makeThreadRealtime(std::int64_t) { return false; }

bool makeAudioLibraryThreadsRealtime() { return false; }

} // namespace sound
