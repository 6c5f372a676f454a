// The file version reader on the shipped libraries, their test copies and files that are
// not versioned ELF binaries.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "FileVersionInfo.h"

namespace {

using qmx::platform::FileVersion;
using qmx::platform::FileVersionInfo;

constexpr uint64_t kRequiredKey = 73763;  // 1.32.35

std::vector<unsigned char> readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TEST(FileVersionInfo, ShippedLibrariesCarryTheRequiredVersion) {
    for (const char* path : {QMX_LIB_QMXAPI, QMX_LIB_QMX58API}) {
        SCOPED_TRACE(path);
        const auto v = FileVersionInfo::read(path);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->major, 1u);
        EXPECT_EQ(v->minor, 32u);
        EXPECT_EQ(v->release, 35u);
        EXPECT_EQ(v->key(), kRequiredKey);
        EXPECT_EQ(v->text(), "1.32.35");
    }
}

TEST(FileVersionInfo, OldCopiesAreOlderAndUnversionedCopiesHaveNone) {
    for (const char* path : {QMX_LIB_QMXAPI_OLD, QMX_LIB_QMX58API_OLD}) {
        SCOPED_TRACE(path);
        const auto v = FileVersionInfo::read(path);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->text(), "1.32.34");
        EXPECT_LT(v->key(), kRequiredKey);
    }
    for (const char* path : {QMX_LIB_QMXAPI_NONE, QMX_LIB_QMX58API_NONE}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(FileVersionInfo::read(path).has_value());
    }
}

TEST(FileVersionInfo, MissingNonElfAndDamagedFilesHaveNoVersion) {
    EXPECT_FALSE(FileVersionInfo::read("/nonexistent/libqmxapi.so").has_value());
    EXPECT_FALSE(FileVersionInfo::read("").has_value());
    char path[] = "/tmp/qmx-notelf-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "MZ this is not an ELF file\n";
    ASSERT_EQ(write(fd, text, sizeof text), static_cast<ssize_t>(sizeof text));
    close(fd);
    EXPECT_FALSE(FileVersionInfo::read(path).has_value());
    std::remove(path);
    EXPECT_FALSE(FileVersionInfo::parse(nullptr, 0).has_value());

    // A versioned library cut short at every length up to its headers, and with its header
    // tables pointing outside the file: never a version, never a read out of bounds.
    auto bytes = readAll(QMX_LIB_QMXAPI);
    ASSERT_GT(bytes.size(), 4096u);
    for (std::size_t n = 0; n < 600; n += 7)
        EXPECT_FALSE(FileVersionInfo::parse(bytes.data(), n).has_value()) << n;
    auto broken = bytes;
    for (int i = 32; i < 48; ++i) broken[static_cast<std::size_t>(i)] = 0xFF;  // e_phoff, e_shoff
    EXPECT_FALSE(FileVersionInfo::parse(broken.data(), broken.size()).has_value());
}

TEST(FileVersionInfo, FindsTheFileOfALoadedObject) {
    const std::string self = FileVersionInfo::pathOfLoadedObject(reinterpret_cast<const void*>(&readAll));
    EXPECT_FALSE(self.empty());
    EXPECT_TRUE(FileVersionInfo::pathOfLoadedObject(nullptr).empty());
}

}  // namespace
