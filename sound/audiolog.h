#pragma once

// The audio back end's diagnostics: the category `vintra.audio`. By default it prints one line
// when sound is lost and one when it is back (info and above); the audio libraries' own chatter
// goes to its debug level, shown with QT_LOGGING_RULES="vintra.audio.debug=true".

#include <QLoggingCategory>

namespace sound {

Q_DECLARE_LOGGING_CATEGORY(lcAudio)

// Sends what the audio libraries would write to stderr by themselves (ALSA's configuration
// errors at every try without a sound server: eight lines a second) to lcAudio's debug level.
// Idempotent; call before SDL's audio starts.
void quietAudioLibraries();

} // namespace sound
