#include "SettingsLocation.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The build names the marker relative to the installed program folder (see
// src/settings/CMakeLists.txt), so a different data folder of the installation moves it too.
#ifndef QMX_INSTALLED_MARKER
#define QMX_INSTALLED_MARKER "../share/qmx58-probe/installed"
#endif

namespace qmx::settings {

const char* const kInstalledMarker = QMX_INSTALLED_MARKER;

namespace {

bool absolute(const char* path) { return path && path[0] == '/'; }

// "/a/b/" -> "/a/b", "/" -> "": ready for "/name" to be appended.
std::string withoutTrailingSlash(std::string path)
{
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// Whether the running user may create files in folder.
bool writableFolder(const std::string& folder)
{
    struct stat st {};
    return !folder.empty() && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Whether the running user may write an existing file (the settings code rewrites a file in
// place when its folder is read-only).
bool writableFile(const std::string& file)
{
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
}

// Creates folder and its missing parents (mode 0700); true when it exists as a folder.
bool makeFolders(const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

LocationEnvironment LocationEnvironment::current()
{
    return LocationEnvironment{std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")};
}

bool isInstalledLayout(const std::string& programFolder)
{
    struct stat st {};
    return !programFolder.empty() && ::stat((programFolder + "/" + kInstalledMarker).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

std::string userSettingsFolder(const LocationEnvironment& env)
{
    if (absolute(env.xdgConfigHome))
        return withoutTrailingSlash(env.xdgConfigHome) + "/" + kUserFolderName;
    if (absolute(env.home))
        return withoutTrailingSlash(env.home) + "/.config/" + kUserFolderName;
    return {};
}

std::string settingsFolder(const std::string& programFolder, const LocationEnvironment& env)
{
    if (!isInstalledLayout(programFolder) &&
        (writableFolder(programFolder) || writableFile(programFolder + "/" + kSettingsFileName)))
        return programFolder;
    const std::string user = userSettingsFolder(env);
    if (!user.empty() && makeFolders(user) && writableFolder(user))
        return user;
    return programFolder;
}

std::string settingsFolder(const std::string& programFolder)
{
    return settingsFolder(programFolder, LocationEnvironment::current());
}

}  // namespace qmx::settings
