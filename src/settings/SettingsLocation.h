#pragma once
// The folder of the settings file "Qmx58_Probe.ini": one rule for the window and for
// qmx58-probe, decided once at start from the folder the program runs from.
//
//  1. An installed program keeps its settings in the user's configuration folder, even when
//     its own folder is writable: the package installs the marker file
//     <program folder>/../share/qmx58-probe/installed (kInstalledMarker), and root running
//     /usr/bin/... must not leave a file in /usr/bin that the package manager does not know.
//  2. Otherwise, when the running user may create files in the program's folder, or may write
//     the settings file that is already there (a read-only folder whose file is rewritten in
//     place), the file lives beside the program, as it always has: a portable copy and the
//     copy in the build tree keep working unchanged.
//  3. Otherwise the user's configuration folder: $XDG_CONFIG_HOME/qmx58-probe when
//     XDG_CONFIG_HOME is an absolute path, else $HOME/.config/qmx58-probe when HOME is one.
//     Missing folders on the way are created with mode 0700.
//  4. When the user's folder cannot be named (neither variable usable), created or written,
//     the program's folder after all: the settings code then reports the file it cannot
//     write with its usual messages.
//
// Rights are those of the running user (effective ids, as the kernel checks them on open),
// so root may write everywhere while nobody may not write into a root-owned folder.
#include <string>

namespace qmx::settings {

// The marker of an installed layout, relative to the program's folder.
extern const char* const kInstalledMarker;
// The settings file's name, in whichever folder it lives.
inline constexpr const char* kSettingsFileName = "Qmx58_Probe.ini";
// The name of the program's folder inside the user's configuration folder.
inline constexpr const char* kUserFolderName = "qmx58-probe";

// The environment the rule reads; null means unset.
struct LocationEnvironment {
    const char* xdgConfigHome = nullptr;
    const char* home = nullptr;
    static LocationEnvironment current();  // from getenv()
};

// Whether the program's folder belongs to an installed layout (rule 1).
bool isInstalledLayout(const std::string& programFolder);

// The user's configuration folder of the program as rule 3 names it, not created; empty when
// neither variable gives an absolute path.
std::string userSettingsFolder(const LocationEnvironment& env);

// The folder the settings file lives in for a program in programFolder; creates the user's
// folder when the rule picks it and it is missing.
std::string settingsFolder(const std::string& programFolder, const LocationEnvironment& env);
std::string settingsFolder(const std::string& programFolder);

}  // namespace qmx::settings
