// IniFile: the reading and writing rules of the profile format, on files written byte by byte
// in the tests, and its behaviour on hostile files and refused writes.

#include "Cp1251.h"
#include "IniFile.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using qmx::IniFile;
using qmx::IniWriteError;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qmx-ini-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/Qmx58_Probe.ini";
    }
    void TearDown() override { EXPECT_EQ(std::system(("chmod -R u+w '" + dir + "'; rm -rf '" + dir + "'").c_str()), 0); }

    void put(const std::string& bytes) const
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    std::string get() const
    {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            ::closedir(d);
        }
        return names;
    }
    static std::string cp(const std::string& utf8) { return qmx::utf8ToCp1251(utf8); }

    std::string dir, path;
};

TEST_F(IniFileTest, ReadingRules)
{
    put(cp("; comment=not a key\r\n"
           "[ Модуль QMX58 ]\r\n"
           "  Top    основной панели  =  12  \r\n"
           "Quoted=\"  padded  \"\r\n"
           "Single='x'\r\n"
           "Unmatched=\"x'\r\n"
           "Eq=a=b\r\n"
           ";Hidden=1\r\n"
           "Dup=first\r\n"
           "dup=second\r\n"
           "NoEquals\r\n"
           "[модуль qmx58]\r\n"
           "Late=ignored\r\n"
           "[Ёлка]\r\n"
           "Ключ=ёж\r\n"
           "[ A ] b ]\r\n"
           "k=v\r\n"));
    const IniFile ini(path);
    const std::string mod = "модуль QMX58";
    EXPECT_EQ(ini.ReadInteger(mod, "top    ОСНОВНОЙ панели", -1), 12) << "inner blanks kept, case ignored";
    EXPECT_EQ(ini.ReadInteger(mod, "Top основной панели", -1), -1) << "inner blanks matter";
    EXPECT_EQ(ini.ReadString(mod, "Quoted", ""), "  padded  ");
    EXPECT_EQ(ini.ReadString(mod, "Single", ""), "x");
    EXPECT_EQ(ini.ReadString(mod, "Unmatched", ""), "\"x'");
    EXPECT_EQ(ini.ReadString(mod, "Eq", ""), "a=b");
    EXPECT_EQ(ini.ReadString(mod, "Hidden", "def"), "def");
    EXPECT_EQ(ini.ReadString(mod, "; comment", "def"), "def");
    EXPECT_EQ(ini.ReadString(mod, "DUP", ""), "first");
    EXPECT_TRUE(ini.ValueExists(mod, "NoEquals"));
    EXPECT_EQ(ini.ReadString(mod, "Late", "def"), "def") << "the first of duplicate sections wins";
    EXPECT_EQ(ini.ReadString("ёЛКА", "КЛЮЧ", ""), "ёж");
    EXPECT_EQ(ini.ReadString("A ] b", "k", ""), "v");
    EXPECT_TRUE(ini.SectionExists("[ЁЛКА]") == false);
    EXPECT_TRUE(ini.SectionExists("ЁЛКА"));
    EXPECT_EQ(ini.ReadString("Missing", "k", "dflt"), "dflt");
}

TEST_F(IniFileTest, NumbersAndTheirDefaults)
{
    struct Case { const char* text; std::int32_t expected; };
    const Case ints[] = {{"42", 42}, {" -17 ", -17}, {"+5", 5}, {"0x1F", 31}, {"0XfF", 255},
                         {"0xFFFFFFFF", -1}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
                         {"2147483648", 7}, {"-2147483649", 7}, {"0x100000000", 7}, {"12abc", 7},
                         {"", 7}, {"0x", 7}, {"-0x1", 7}, {"1e3", 7}, {"1.0", 7}, {"- 1", 7}, {"٣", 7}};
    std::string file = "[S]\r\n";
    for (std::size_t i = 0; i < std::size(ints); ++i)
        file += "i" + std::to_string(i) + "=" + ints[i].text + "\r\n";
    file += "b0=0\r\nb1=2\r\nbx=yes\r\nf1=0.75\r\nf2=-1e-3\r\nf3=1,5\r\nf4=nan\r\nf5=inf\r\nf6=\r\nf7=3.\r\n";
    put(file);
    const IniFile ini(path);
    for (std::size_t i = 0; i < std::size(ints); ++i)
        EXPECT_EQ(ini.ReadInteger("S", "i" + std::to_string(i), 7), ints[i].expected) << "\"" << ints[i].text << "\"";
    EXPECT_FALSE(ini.ReadBool("S", "b0", true));
    EXPECT_TRUE(ini.ReadBool("S", "b1", false));
    EXPECT_TRUE(ini.ReadBool("S", "bx", true));
    EXPECT_FALSE(ini.ReadBool("S", "bx", false));
    EXPECT_EQ(ini.ReadFloat("S", "f1", 9), 0.75);
    EXPECT_EQ(ini.ReadFloat("S", "f2", 9), -1e-3);
    EXPECT_EQ(ini.ReadFloat("S", "f3", 9), 9) << "',' is not a decimal separator here";
    EXPECT_EQ(ini.ReadFloat("S", "f4", 9), 9);
    EXPECT_EQ(ini.ReadFloat("S", "f5", 9), 9);
    EXPECT_EQ(ini.ReadFloat("S", "f6", 9), 9);
    EXPECT_EQ(ini.ReadFloat("S", "f7", 9), 3.0);
}

TEST_F(IniFileTest, FloatTextIsShortestAndLocaleIndependent)
{
    const char* saved = std::setlocale(LC_ALL, nullptr);
    const std::string restore = saved ? saved : "C";
    std::setlocale(LC_ALL, "ru_RU.UTF-8");  // a comma locale where it exists
    EXPECT_EQ(IniFile::formatFloat(0.75), "0.75");
    EXPECT_EQ(IniFile::formatFloat(1.0), "1");
    EXPECT_EQ(IniFile::formatFloat(0.1), "0.1");
    EXPECT_EQ(IniFile::formatFloat(-2.5), "-2.5");
    EXPECT_EQ(IniFile::formatFloat(1.0 / 3.0), "0.333333333333333");
    EXPECT_EQ(IniFile::formatFloat(117187.5), "117187.5");
    EXPECT_EQ(IniFile::formatFloat(1e-5), "1e-05");
    IniFile ini(path);
    ini.WriteFloat("S", "t", 0.75);
    EXPECT_EQ(get(), "[S]\r\nt=0.75\r\n");
    EXPECT_EQ(ini.ReadFloat("S", "t", 0), 0.75);
    std::setlocale(LC_ALL, restore.c_str());
}

// Writes touch one line (or add one) and leave every other byte as it was: comments, odd line
// ends, bytes without a character, a missing final newline.
TEST_F(IniFileTest, WritesChangeOnlyTheirLine)
{
    const std::string original = "; keep me\r\n[A]\r\nx = 1 \r\n;c\n  y=\x98\x98\r\n\r\n\r\n[B]\rz=3";
    put(original);
    IniFile ini(path);
    ini.WriteInteger("a", "X", 22);
    EXPECT_EQ(get(), "; keep me\r\n[A]\r\nx=22\r\n;c\n  y=\x98\x98\r\n\r\n\r\n[B]\rz=3");
    ini.WriteString("A", "new", "v");
    EXPECT_EQ(get(), "; keep me\r\n[A]\r\nx=22\r\n;c\n  y=\x98\x98\r\nnew=v\r\n\r\n\r\n[B]\rz=3")
        << "added after the last entry, before the blank lines";
    ini.WriteString("B", "w", "4");
    EXPECT_EQ(get(), "; keep me\r\n[A]\r\nx=22\r\n;c\n  y=\x98\x98\r\nnew=v\r\n\r\n\r\n[B]\rz=3\r\nw=4\r\n");
    ini.WriteString("Новая", "ключ", "значение с  пробелами");
    EXPECT_EQ(get(), "; keep me\r\n[A]\r\nx=22\r\n;c\n  y=\x98\x98\r\nnew=v\r\n\r\n\r\n[B]\rz=3\r\nw=4\r\n" +
                         cp("[Новая]\r\nключ=значение с  пробелами\r\n"));
    EXPECT_EQ(ini.ReadString("новая", "КЛЮЧ", ""), "значение с  пробелами");

    // A value read and written back unchanged leaves the bytes as they were, 0x98 included.
    const std::string y = ini.ReadString("A", "y", "");
    ini.WriteString("A", "y", y);
    EXPECT_NE(get().find("y=\x98\x98\r\n"), std::string::npos);
}

TEST_F(IniFileTest, MissingFileAndSecondObjectSeeWrites)
{
    IniFile a(path), b(path);
    EXPECT_EQ(a.ReadInteger("S", "k", 5), 5);
    EXPECT_FALSE(a.SectionExists("S"));
    a.WriteInteger("S", "k", 6);
    EXPECT_EQ(get(), "[S]\r\nk=6\r\n");
    EXPECT_EQ(b.ReadInteger("S", "k", 5), 6);
    b.WriteBool("S", "flag", true);
    EXPECT_TRUE(a.ReadBool("S", "flag", false));
}

// An update writes the file once, at its end: the same bytes as the writes one by one; its
// own object reads its writes before, other objects only after; a refused write inside it
// changes nothing; an update left without commit writes nothing.
TEST_F(IniFileTest, UpdatesWriteTheFileOnce)
{
    put("; head\r\n[A]\r\nx=1\r\n");
    const std::string original = get();
    IniFile one(path);
    one.WriteInteger("A", "x", 2);
    one.WriteString("B", "y", "text");
    one.WriteFloat("A", "z", 0.75);
    const std::string expected = get();

    put(original);
    IniFile a(path), b(path);
    const long before = IniFile::replacements();
    {
        IniFile::Update outer(a);
        a.WriteInteger("A", "x", 2);
        {
            IniFile::Update inner(a);
            a.WriteString("B", "y", "text");
            inner.commit();
        }
        EXPECT_THROW(a.WriteString("B", "bad\nkey", "v"), IniWriteError);
        a.WriteFloat("A", "z", 0.75);
        EXPECT_EQ(a.ReadString("B", "y", ""), "text") << "the update's own reads see its writes";
        EXPECT_EQ(b.ReadInteger("A", "x", 0), 1) << "others see the file";
        EXPECT_EQ(get(), original);
        outer.commit();
    }
    EXPECT_EQ(IniFile::replacements() - before, 1);
    EXPECT_EQ(get(), expected);
    EXPECT_EQ(b.ReadInteger("A", "x", 0), 2);

    {
        IniFile::Update dropped(a);
        a.WriteInteger("A", "x", 3);
    }
    EXPECT_EQ(get(), expected);
    EXPECT_EQ(a.ReadInteger("A", "x", 0), 2);
    EXPECT_EQ(IniFile::replacements() - before, 1);
}

TEST_F(IniFileTest, LineBreaksAndBadNamesAreRefused)
{
    put("[S]\r\nk=1\r\n");
    IniFile ini(path);
    const std::string expected = "Unable to write to " + path;
    for (auto bad : {std::make_pair(std::string("S"), std::string("k")), std::make_pair(std::string("S\r\n[T]"), std::string("k")),
                     std::make_pair(std::string("S"), std::string("k\nx")), std::make_pair(std::string("S"), std::string("a=b")),
                     std::make_pair(std::string("S"), std::string(";k")), std::make_pair(std::string("S"), std::string("[k")),
                     std::make_pair(std::string(""), std::string("k")), std::make_pair(std::string("S"), std::string("  "))}) {
        const std::string value = bad.first == "S" && bad.second == "k" ? "1\r\n[Injected]\r\nk=2" : "v";
        try {
            ini.WriteString(bad.first, bad.second, value);
            ADD_FAILURE() << "accepted section \"" << bad.first << "\" key \"" << bad.second << "\"";
        } catch (const IniWriteError& e) {
            EXPECT_EQ(e.what(), expected);
        }
    }
    EXPECT_EQ(get(), "[S]\r\nk=1\r\n");
    EXPECT_EQ(entries().size(), 1u) << "no temporary file left behind";
}

TEST_F(IniFileTest, RefusedWritesLeaveNoTrace)
{
    // A directory where the file should be: reads give defaults, writes are refused.
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    IniFile onDir(path);
    EXPECT_EQ(onDir.ReadInteger("S", "k", 3), 3);
    EXPECT_THROW(onDir.WriteInteger("S", "k", 4), IniWriteError);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(entries().size(), 1u);

    // A folder that does not exist.
    IniFile nowhere(dir + "/missing/Qmx58_Probe.ini");
    EXPECT_THROW(nowhere.WriteInteger("S", "k", 4), IniWriteError);
}

// A read-only folder holding a file the user may not write either (a writable one is
// rewritten in place: IniFilePermissionTest below): run as an unprivileged user in a child
// process, since root writes anyway.
TEST_F(IniFileTest, ReadOnlyFolderRefusesWrites)
{
    put("[S]\r\nk=1\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const std::string p = path;
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                std::_Exit(3);
            IniFile ini(p);
            if (ini.ReadInteger("S", "k", 0) != 1)
                std::_Exit(4);
            try {
                ini.WriteInteger("S", "k", 2);
            } catch (const IniWriteError& e) {
                std::_Exit(std::string(e.what()) == "Unable to write to " + p ? 0 : 5);
            }
            std::_Exit(6);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(get(), "[S]\r\nk=1\r\n");
}

TEST_F(IniFileTest, WritesKeepTheFileMode)
{
    put("[S]\r\nk=1\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    IniFile(path).WriteInteger("S", "k", 2);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(IniFileTest, HostileFiles)
{
    // Random bytes: reads never fail, a write appends its section and keeps every old byte.
    std::mt19937 rng(1234);
    for (int round = 0; round < 20; ++round) {
        std::string junk(1 + rng() % 4000, '\0');
        for (char& c : junk)
            c = static_cast<char>(rng());
        put(junk);
        IniFile ini(path);
        (void)ini.ReadString("S", "k", "");
        (void)ini.ReadInteger("Модуль QMX58", "k", 0);
        ini.WriteInteger("Fresh section", "k", round);
        const std::string after = get();
        ASSERT_GE(after.size(), junk.size());
        if (after.compare(0, junk.size(), junk) != 0) {
            // The only other outcome: the junk itself held a "[Fresh section]" header.
            ASSERT_NE(junk.find("Fresh"), std::string::npos);
        }
        EXPECT_EQ(ini.ReadInteger("fresh SECTION", "K", -1), round);
    }

    // One 10 MB line without a line end, then a long value.
    std::string big(10 * 1024 * 1024, 'x');
    put(big);
    IniFile ini(path);
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "d");
    ini.WriteString("S", "k", std::string(3000, 'v'));
    EXPECT_EQ(ini.ReadString("S", "k", "").size(), IniFile::kMaxValueLength);
    const std::string after = get();
    EXPECT_EQ(after.compare(0, big.size(), big), 0);
    EXPECT_EQ(after.compare(big.size(), 6, "\r\n[S]\r"), 0);

    // LF-only and CR-only line ends, a UTF-8 byte-order mark.
    put("[S]\nk=lf\n");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "lf");
    put("[S]\rk=cr\r[T]\rk=t");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "cr");
    EXPECT_EQ(ini.ReadString("T", "k", ""), "t");
    put("\xEF\xBB\xBF[S]\r\nk=bom\r\n");
    EXPECT_EQ(ini.ReadString("S", "k", ""), "bom");
    ini.WriteString("S", "k", "x");
    EXPECT_EQ(get(), "\xEF\xBB\xBF[S]\r\nk=x\r\n");
}

}  // namespace

namespace {

// A file that exists but cannot be read is not replaced by a write (which would keep only the
// written key): the write is refused and the file keeps its bytes.
TEST_F(IniFileTest, UnreadableFileIsNotOverwritten)
{
    put("[S]\r\nk=1\r\nother=keep\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0200), 0);  // write-only for its owner
    if (::geteuid() == 0) {  // the child drops to this user; it must own the file
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
    }
    const std::string p = path;
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                std::_Exit(3);
            IniFile ini(p);
            if (ini.ReadInteger("S", "k", 9) != 9)
                std::_Exit(4);
            try {
                ini.WriteInteger("S", "k", 2);
            } catch (const IniWriteError&) {
                std::_Exit(0);
            }
            std::_Exit(6);
        },
        ::testing::ExitedWithCode(0), "");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(get(), "[S]\r\nk=1\r\nother=keep\r\n");
}

}  // namespace

// Permission cases run in a forked child as an ordinary user: root writes anyway. The child
// returns 0 when every check held, or the number of the first check that failed.
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr int kCannotDrop = 99;

// Runs `body` in a child process that drops root to nobody (an unprivileged caller runs it as
// itself) and returns the child's exit code, kCannotDrop when the drop was refused.
int asOrdinaryUser(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNogroup) != 0 || ::setuid(kNobody) != 0 || ::geteuid() == 0))
            std::_Exit(kCannotDrop);
        int rc = 98;
        try {
            rc = body();
        } catch (...) {
            rc = 97;
        }
        std::_Exit(rc);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 96;
    return WEXITSTATUS(status);
}

// Whether a write throws exactly the error the settings code reports.
bool refusedWithPathError(const std::function<void()>& write, const std::string& path)
{
    try {
        write();
    } catch (const IniWriteError& e) {
        return e.what() == "Unable to write to " + path;
    }
    return false;
}

class IniFilePermissionTest : public IniFileTest {
protected:
    void SetUp() override
    {
        IniFileTest::SetUp();
        // The test folder belongs to the user the child runs as; each test takes rights away.
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(dir.c_str(), kNobody, kNogroup), 0);
        }
        ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
        if (asOrdinaryUser([] { return 0; }) == kCannotDrop) {
            GTEST_SKIP() << "cannot drop root to nobody here (no CAP_SETUID?): permissions would not apply";
        }
    }
    void own(const std::string& p) const
    {
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(p.c_str(), kNobody, kNogroup), 0);
        }
    }
    static void expectChildPasses(int rc) { EXPECT_EQ(rc, 0) << "first failed check in the child"; }
    ino_t inode() const
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

// A file its user may not write stays as it is, byte for byte, although the folder would let
// a rename replace it; a second object on it still reads the old values.
TEST_F(IniFilePermissionTest, ReadOnlyFileIsNeverReplaced)
{
    const std::string original = "[S]\r\nk=1\r\nother=keep\r\n";
    put(original);
    own(path);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    const std::string p = path;
    expectChildPasses(asOrdinaryUser([&] {
        IniFile ini(p);
        if (ini.ReadInteger("S", "k", 0) != 1)
            return 1;
        if (!refusedWithPathError([&] { ini.WriteInteger("S", "k", 2); }, p))
            return 2;
        if (!refusedWithPathError([&] { ini.WriteString("New", "k", "v"); }, p))
            return 3;
        return ini.ReadInteger("S", "k", 0) == 1 ? 0 : 4;
    }));
    EXPECT_EQ(get(), original);
    EXPECT_EQ(entries().size(), 1u) << "no temporary file left behind";
}

// A writable file in a folder the user may not write is rewritten in place: keys change, are
// added and shrink, every other byte stays, the inode is the same and no temporary file appears.
TEST_F(IniFilePermissionTest, WritableFileInReadOnlyFolderIsRewrittenInPlace)
{
    put("; head\r\n[S]\r\nk=1\r\nlong=" + std::string(300, 'x') + "\r\n[T]\r\nt=keep\r\n");
    own(path);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const ino_t before = inode();
    const std::string p = path;
    expectChildPasses(asOrdinaryUser([&] {
        IniFile a(p), b(p);
        if (b.ReadInteger("S", "k", 0) != 1)
            return 1;
        a.WriteInteger("S", "k", 22);   // grows by one byte
        a.WriteString("S", "long", "y");  // shrinks by 299
        a.WriteString("S", "added", "z");
        if (b.ReadInteger("S", "k", 0) != 22 || b.ReadString("S", "long", "") != "y")
            return 2;
        // The same size within the same clock tick: the other object must still see it.
        b.WriteInteger("S", "k", 33);
        return a.ReadInteger("S", "k", 0) == 33 ? 0 : 3;
    }));
    EXPECT_EQ(get(), "; head\r\n[S]\r\nk=33\r\nlong=y\r\nadded=z\r\n[T]\r\nt=keep\r\n");
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(entries().size(), 1u);
}

// An in-place rewrite that cannot grow the file (here: a file size limit) is refused with the
// write error and leaves the old bytes, never a half-written file.
TEST_F(IniFilePermissionTest, FailedInPlaceRewriteLeavesTheOldFile)
{
    const std::string original = "[S]\r\nk=1\r\n" + std::string(5000, ';') + "\r\n[T]\r\nt=keep\r\n";
    put(original);
    own(path);
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    const std::string p = path;
    const rlim_t limit = original.size() + 100;
    expectChildPasses(asOrdinaryUser([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            return 1;
        IniFile ini(p);
        if (!refusedWithPathError([&] { ini.WriteString("S", "k", std::string(1000, 'v')); }, p))
            return 2;
        ini.WriteString("S", "k", "22");  // within the limit: still fine
        return ini.ReadString("T", "t", "") == "keep" ? 0 : 3;
    }));
    std::string expected = original;
    expected.replace(expected.find("k=1"), 3, "k=22");
    EXPECT_EQ(get(), expected);
}

// A symbolic link at the path stays a link and its target gets the new content (also through
// a chain of links, and a dangling link creates its target); a loop of links is refused.
TEST_F(IniFileTest, WritesGoThroughSymbolicLinks)
{
    ASSERT_EQ(::mkdir((dir + "/real").c_str(), 0755), 0);
    const std::string target = dir + "/real/target.ini";
    std::ofstream(target, std::ios::binary) << "[S]\r\nk=1\r\nother=keep\r\n";
    ASSERT_EQ(::symlink("hop", path.c_str()), 0);
    ASSERT_EQ(::symlink("real/target.ini", (dir + "/hop").c_str()), 0);  // relative to the link's folder
    IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("S", "k", 0), 1);
    ini.WriteInteger("S", "k", 2);
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    EXPECT_EQ(get(), "[S]\r\nk=2\r\nother=keep\r\n");  // read through the link
    EXPECT_EQ(IniFile(target).ReadInteger("S", "k", 0), 2);
    EXPECT_EQ(entries().size(), 3u);  // the link, the hop and real/: no temporary file

    const std::string dangling = dir + "/dangling.ini";
    ASSERT_EQ(::symlink("real/created.ini", dangling.c_str()), 0);
    IniFile(dangling).WriteString("S", "k", "new");
    EXPECT_EQ(IniFile(dir + "/real/created.ini").ReadString("S", "k", ""), "new");
    ASSERT_EQ(::lstat(dangling.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    const std::string loop = dir + "/loop.ini";
    ASSERT_EQ(::symlink("loop.ini", loop.c_str()), 0);
    IniFile looped(loop);
    EXPECT_EQ(looped.ReadInteger("S", "k", 5), 5);
    EXPECT_TRUE(refusedWithPathError([&] { looped.WriteInteger("S", "k", 1); }, loop));
}

// As root, a replaced file keeps its owner as well as its mode.
TEST_F(IniFileTest, RootWritesKeepTheOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can write a file owned by another user";
    put("[S]\r\nk=1\r\n");
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNogroup), 0);
    IniFile(path).WriteInteger("S", "k", 2);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_gid, kNogroup);
}

// Found by fuzzing: a number takes one sign only, and names are trimmed the same way when
// read as when written, so a padded name written is read back (and matches the unpadded one).
TEST_F(IniFileTest, OneSignAndPaddedNamesReadAsWritten)
{
    put("[S]\r\na=+-5\r\nb=-+5\r\nc=++5\r\nd=+5\r\ne=+-1.5\r\nf=+.5\r\ng=-.5\r\nh=+\r\n");
    const IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("S", "a", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "b", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "c", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "d", 7), 5);
    EXPECT_EQ(ini.ReadInteger("S", "h", 7), 7);
    EXPECT_EQ(ini.ReadFloat("S", "e", 9), 9);
    EXPECT_EQ(ini.ReadFloat("S", "f", 9), 0.5);
    EXPECT_EQ(ini.ReadFloat("S", "g", 9), -0.5);
    EXPECT_EQ(ini.ReadFloat("S", "h", 9), 9);

    IniFile w(dir + "/padded.ini");
    w.WriteString(" \tПадding ", "  key\t", "v");
    EXPECT_EQ(w.ReadString(" \tПадding ", "  key\t", ""), "v");
    EXPECT_EQ(w.ReadString("падding", "KEY", ""), "v");
    EXPECT_TRUE(w.SectionExists("  Падding"));
    EXPECT_TRUE(w.ValueExists("Падding ", " key"));
    w.WriteString("Падding", "key", "w");  // the same key, not a second one
    EXPECT_EQ(w.ReadString(" Падding", "key ", ""), "w");
    std::ifstream in(dir + "/padded.ini", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
              cp("[Падding]\r\nkey=w\r\n"));
}

}  // namespace
