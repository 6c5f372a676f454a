#pragma once
// IniFile: a Windows-style profile file, read and written key by key, stored in Windows-1251
// with CR LF line ends. Names and values cross this interface in UTF-8.
//
// Reading: sections and keys match without regard to letter case (Cyrillic included); a
// section line runs from "[" to the last "]"; a key line splits at its first "="; names and
// values are trimmed of blanks and tabs at both ends; lines starting with ";" are comments;
// a value wrapped in one pair of matching quotes loses them; the first of duplicate sections
// or keys wins; values are read up to 2047 characters. CR LF, LF and lone CR all end a line.
//
// Writing: a key's value is replaced in place; a missing key is added after the last line of
// its section (before trailing blank lines); a missing section is added at the end. Every
// other byte of the file stays as it was. Each write replaces the whole file atomically
// (temporary file in the same folder, flushed, then renamed over the old one), so a crash
// leaves either the old or the new file. A write the file system refuses, or a name or value
// that would break the line structure (CR, LF; "=" or a leading ";" or "[" in a key), throws
// IniWriteError "Unable to write to <path>".
//
// Every read sees the file as it is on disk, so two objects on one file never disagree.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct stat;

namespace qmx {

class IniWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IniFile {
public:
    static constexpr std::size_t kMaxValueLength = 2047;

    explicit IniFile(std::string path);

    const std::string& fileName() const { return _path; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal with optional sign, or hexadecimal after "0x"/"0X"; anything else (trailing
    // garbage, a value outside 32 bits, an empty value, a missing key) gives the default.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t defaultValue) const;
    // The integer rule; any value other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;
    // "." as decimal separator whatever the locale; unreadable or non-finite text gives the default.
    double ReadFloat(const std::string& section, const std::string& key, double defaultValue) const;

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);
    // Shortest general form with up to 15 significant digits, "." as separator (0.75 -> "0.75").
    void WriteFloat(const std::string& section, const std::string& key, double value);

    // Every write already reaches the disk; kept for callers that flush after a group of writes.
    void UpdateFile() {}

    // The text forms used for numbers, exposed for the settings code and its tests.
    static std::string formatFloat(double value);
    static bool parseInteger(const std::string& text, std::int32_t& out);
    static bool parseFloat(const std::string& text, double& out);

private:
    struct Line {
        std::string text;  // bytes without the line end
        std::string eol;   // "\r\n", "\n", "\r" or "" for a last line without one
    };
    struct Lookup {
        long sectionLine = -1;  // index of the section's header line, -1 if absent
        long keyLine = -1;      // index of the key's line, -1 if absent
        long lastContent = -1;  // last non-blank line of the section
    };

    // The file's lines; *readable (if given) tells whether the file was read or is absent.
    std::vector<Line> load(bool* readable = nullptr) const;
    std::vector<Line> loadFromDisk(bool* readable) const;
    Lookup find(const std::vector<Line>& lines, const std::string& section, const std::string& key) const;
    bool readRaw(const std::string& section, const std::string& key, std::string& value) const;
    void save(const std::vector<Line>& lines) const;
    [[noreturn]] void refuse() const;

    std::string _path;

    // The lines of the last read, reused while the file on disk is unchanged (same inode,
    // size and modification and change times), so reading many keys reads the file once.
    struct Snapshot {
        bool valid = false;
        bool readable = false;
        unsigned long long dev = 0, ino = 0, size = 0;
        long long mtimeNs = 0, ctimeNs = 0;
        std::vector<Line> lines;
        bool matches(const struct stat& st) const;
        void take(const struct stat& st, const std::vector<Line>& fileLines);
    };
    mutable Snapshot _cache;
};

}  // namespace qmx
