// The user's own folders as the XDG base-directory rules place them: the
// variable when it holds an absolute path, else a folder below the home
// folder ($HOME, or the account's home when HOME is unset or relative).
#pragma once

#include "valmorin/com/types.h"

#include <filesystem>

// $XDG_CONFIG_HOME, or ~/.config
VALMORIN_PLATFORM_API std::filesystem::path UserConfigFolder();
// $XDG_DATA_HOME, or ~/.local/share
VALMORIN_PLATFORM_API std::filesystem::path UserDataFolder();

// A machine-wide folder such as /var/log, moved below $PELKOR_ROOT when that
// names an absolute folder: an installation, or a test, can then keep the
// component's machine-wide files (logs, data sources, stores, named mutexes)
// in a tree of its own.
VALMORIN_PLATFORM_API std::filesystem::path MachineFolder(const std::filesystem::path& standard);

// The machine's configuration of the component (its registry hives and
// data sources): /etc/pelkor, below $PELKOR_ROOT as MachineFolder moves it.
VALMORIN_PLATFORM_API std::filesystem::path MachineConfigFolder();

// The temporary folder as the standard library finds it ($TMPDIR, $TMP,
// $TEMP, $TEMPDIR, else /tmp). Throws std::runtime_error naming the folder,
// and the variable that named it, when it is not a folder that exists.
VALMORIN_PLATFORM_API std::filesystem::path TemporaryFolder();
