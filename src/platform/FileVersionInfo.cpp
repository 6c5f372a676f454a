#include "FileVersionInfo.h"

#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <vector>

namespace qmx::platform {

namespace {

constexpr uint32_t kNoteTypeFileVersion = 1;
constexpr char kNoteOwner[] = "QMX";  // with its NUL: 4 bytes
constexpr std::size_t kMaxFileSize = 512u * 1024 * 1024;

// Bounds-checked reads of the file's own byte order.
struct Image {
    const unsigned char* p;
    std::size_t n;
    bool big;

    bool has(uint64_t off, uint64_t len) const { return off <= n && len <= n - off; }
    uint64_t get(uint64_t off, unsigned width) const {
        uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) {
            const unsigned shift = big ? 8 * (width - 1 - i) : 8 * i;
            v |= uint64_t(p[off + i]) << shift;
        }
        return v;
    }
};

// Walks the notes in [off, off + len); true with v set when our version note is there.
bool scanNotes(const Image& img, uint64_t off, uint64_t len, FileVersion& v) {
    if (!img.has(off, len)) return false;
    const uint64_t end = off + len;
    while (end - off >= 12) {
        const uint64_t namesz = img.get(off, 4), descsz = img.get(off + 4, 4), type = img.get(off + 8, 4);
        const uint64_t nameOff = off + 12;
        const uint64_t descOff = nameOff + ((namesz + 3) & ~uint64_t(3));
        const uint64_t next = descOff + ((descsz + 3) & ~uint64_t(3));
        if (next > end || next <= off) return false;
        if (namesz == sizeof kNoteOwner && std::memcmp(img.p + nameOff, kNoteOwner, sizeof kNoteOwner) == 0 &&
            type == kNoteTypeFileVersion && descsz == 16) {
            v.major = static_cast<uint32_t>(img.get(descOff, 4));
            v.minor = static_cast<uint32_t>(img.get(descOff + 4, 4));
            v.release = static_cast<uint32_t>(img.get(descOff + 8, 4));
            v.build = static_cast<uint32_t>(img.get(descOff + 12, 4));
            return true;
        }
        off = next;
    }
    return false;
}

}  // namespace

std::string FileVersion::text() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release);
}

std::optional<FileVersion> FileVersionInfo::parse(const unsigned char* data, std::size_t size) {
    if (!data || size < EI_NIDENT || std::memcmp(data, ELFMAG, SELFMAG) != 0) return std::nullopt;
    const bool is64 = data[EI_CLASS] == ELFCLASS64;
    if (!is64 && data[EI_CLASS] != ELFCLASS32) return std::nullopt;
    if (data[EI_DATA] != ELFDATA2LSB && data[EI_DATA] != ELFDATA2MSB) return std::nullopt;
    const Image img{data, size, data[EI_DATA] == ELFDATA2MSB};
    const unsigned w = is64 ? 8 : 4;
    const uint64_t ehsize = is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (!img.has(0, ehsize)) return std::nullopt;
    FileVersion v;

    // Program headers first (present in every loadable binary), then section headers.
    const uint64_t phoff = img.get(is64 ? 32 : 28, w);
    const uint64_t phentsize = img.get(is64 ? 54 : 42, 2), phnum = img.get(is64 ? 56 : 44, 2);
    if (phoff != 0 && phentsize >= (is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr)) &&
        img.has(phoff, phentsize * phnum)) {
        for (uint64_t i = 0; i < phnum; ++i) {
            const uint64_t ph = phoff + i * phentsize;
            if (img.get(ph, 4) != PT_NOTE) continue;
            const uint64_t off = img.get(ph + (is64 ? 8 : 4), w);
            const uint64_t len = img.get(ph + (is64 ? 32 : 16), w);
            if (scanNotes(img, off, len, v)) return v;
        }
    }
    const uint64_t shoff = img.get(is64 ? 40 : 32, w);
    const uint64_t shentsize = img.get(is64 ? 58 : 46, 2), shnum = img.get(is64 ? 60 : 48, 2);
    if (shoff != 0 && shentsize >= (is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr)) &&
        img.has(shoff, shentsize * shnum)) {
        for (uint64_t i = 0; i < shnum; ++i) {
            const uint64_t sh = shoff + i * shentsize;
            if (img.get(sh + 4, 4) != SHT_NOTE) continue;
            const uint64_t off = img.get(sh + (is64 ? 24 : 16), w);
            const uint64_t len = img.get(sh + (is64 ? 32 : 20), w);
            if (scanNotes(img, off, len, v)) return v;
        }
    }
    return std::nullopt;
}

std::optional<FileVersion> FileVersionInfo::read(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return std::nullopt;
    const std::streamoff size = f.tellg();
    if (size <= 0 || static_cast<uint64_t>(size) > kMaxFileSize) return std::nullopt;
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char*>(bytes.data()), size)) return std::nullopt;
    return parse(bytes.data(), bytes.size());
}

std::string FileVersionInfo::pathOfLoadedObject(const void* address) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

}  // namespace qmx::platform
