#pragma once
// Reads the file version (major.minor.release.build) that our build embeds in a binary,
// the stand-in for a file's version resource. The version is an ELF note (owner "QMX",
// type 1, four 32-bit numbers) put there by qmx_embed_file_version() in
// cmake/FileVersion.cmake. A missing file, a file that is not ELF, a damaged ELF file and
// a binary without the note all read as "no version".
#include <cstdint>
#include <optional>
#include <string>

namespace qmx::platform {

struct FileVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t release = 0;
    uint32_t build = 0;

    // major * 65536 + minor * 256 + release: the number compared against a required version.
    uint64_t key() const { return uint64_t(major) * 65536 + uint64_t(minor) * 256 + release; }
    // "major.minor.release"
    std::string text() const;
};

class FileVersionInfo {
public:
    // The version embedded in the file at path, or nothing.
    static std::optional<FileVersion> read(const std::string& path);
    // The same from an ELF image in memory (bounds-checked against size).
    static std::optional<FileVersion> parse(const unsigned char* data, std::size_t size);
    // The path of the loaded binary (program or shared library) that contains address, or
    // empty; used to find the file of a library the program has loaded.
    static std::string pathOfLoadedObject(const void* address);
};

}  // namespace qmx::platform
