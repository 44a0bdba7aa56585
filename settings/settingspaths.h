#pragma once

// Where the settings file lives. The folder texts are fixed once at start-up and keep a
// trailing separator, so paths are formed by plain concatenation.

#include <QString>

namespace settings {

// Replaces every %NAME% reference to a set environment variable by its value (a variable set to
// the empty text expands to nothing). A reference to an unset variable stays as written, and
// its closing "%" may open the next reference: "%UNSET%HOME%" gives "%UNSET" + $HOME. A lone
// "%" and "%%" stay. The result may be of any length.
QString ExpandEnvPath(const QString &text);

// The user's configuration folder with a trailing separator. Windows: the expanded
// "%AppData%" followed by "\". Elsewhere: Qt's generic configuration location
// ($XDG_CONFIG_HOME, else ~/.config) followed by "/".
QString appDataDir();

// appdata_dir followed by "zelk-soft/vintra/" ("zelk-soft\vintra\" on Windows).
QString settingsFolder(const QString &appdataDir);
// The settings folder followed by "timer.ini".
QString settingsFilePath(const QString &appdataDir);

} // namespace settings
