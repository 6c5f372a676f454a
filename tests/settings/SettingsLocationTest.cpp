// Where the settings file lives (SettingsLocation.h): beside a program its user may write, in
// the user's folder for an installed program or a folder the user may not write, and beside
// the program again when the user's folder is unusable.

#include "SettingsLocation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using qmx::settings::settingsFolder;

namespace {

class SettingsLocation : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qmx-location-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        fs::permissions(root, fs::perms(0755));
        bin = root / "bin";
        fs::create_directories(bin);
    }
    void TearDown() override { fs::remove_all(root); }
    // The package's marker beside bin.
    void install() const
    {
        const fs::path marker = (bin / qmx::settings::kInstalledMarker).lexically_normal();
        fs::create_directories(marker.parent_path());
        std::ofstream(marker) << "installed\n";
    }
    std::string folder(const char* xdg, const char* home) const { return settingsFolder(bin.string(), {xdg, home}); }

    fs::path root, bin;
};

TEST_F(SettingsLocation, InstalledProgramUsesTheUserFolderAlthoughItsFolderIsWritable)
{
    const fs::path xdg = root / "new/xdg", home = root / "home";
    EXPECT_EQ(folder(xdg.c_str(), nullptr), bin.string());
    EXPECT_FALSE(fs::exists(xdg)) << "the user's folder is made only when it is used";
    install();
    EXPECT_EQ(folder(xdg.c_str(), home.c_str()), (xdg / "qmx58-probe").string());
    EXPECT_EQ(fs::status(root / "new").permissions(), fs::perms::owner_all) << "made folders are private";
    // HOME when XDG_CONFIG_HOME is unset or relative; ~/.config is made when missing.
    EXPECT_EQ(folder("relative", (home.string() + "/").c_str()), (home / ".config/qmx58-probe").string());
    EXPECT_TRUE(fs::is_directory(home / ".config/qmx58-probe"));
    // Unusable: no variable, or a file where the folder should be.
    EXPECT_EQ(folder(nullptr, nullptr), bin.string());
    std::ofstream(root / "file") << "x";
    EXPECT_EQ(folder((root / "file").c_str(), nullptr), bin.string());
}

// As nobody in a folder of root's: the user's folder; when that cannot be made or written,
// the program folder, whose write then fails with the settings code's own message.
TEST_F(SettingsLocation, ProgramFolderTheUserMayNotWrite)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as nobody";
    const fs::path home = root / "home", rootsFolder = root / "roots";
    fs::create_directories(home);
    fs::create_directories(rootsFolder / "qmx58-probe");
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    // A folder of root's holding a settings file nobody may write: it is rewritten in place.
    const fs::path shared = root / "shared";
    fs::create_directories(shared);
    std::ofstream(shared / qmx::settings::kSettingsFileName) << "[x]\n";
    ASSERT_EQ(::chown((shared / qmx::settings::kSettingsFileName).c_str(), 65534, 65534), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            std::_Exit(99);
        if (folder(nullptr, home.c_str()) != (home / ".config/qmx58-probe").string())
            std::_Exit(1);
        if (folder(nullptr, nullptr) != bin.string())
            std::_Exit(2);
        if (folder((rootsFolder / "new").c_str(), nullptr) != bin.string())  // cannot be made
            std::_Exit(3);
        if (folder(rootsFolder.c_str(), nullptr) != bin.string())  // exists, not writable
            std::_Exit(4);
        if (settingsFolder(shared.string(), {nullptr, home.c_str()}) != shared.string())
            std::_Exit(5);
        std::_Exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 99)
        GTEST_SKIP() << "cannot drop root to nobody here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "first failed check in the child";
}

}  // namespace
