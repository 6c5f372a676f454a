#pragma once
// IniFile: a Windows-style profile file, read and written key by key, stored in Windows-1251
// with CR LF line ends. Names and values cross this interface in UTF-8.
//
// Reading: sections and keys match without regard to letter case (Cyrillic included); a
// section line runs from "[" to the last "]"; a key line splits at its first "="; names and
// values are trimmed of blanks and tabs at both ends, on the file's lines and in the names a
// caller passes (reads and writes alike, so a padded name written is found again); lines
// starting with ";" are comments; a value wrapped in one pair of matching quotes loses them;
// the first of duplicate sections or keys wins; values are read up to 2047 characters.
// CR LF, LF and lone CR all end a line.
//
// Writing: a key's value is replaced in place; a missing key is added after the last line of
// its section (before trailing blank lines); a missing section is added at the end. Every
// other byte of the file stays as it was. Each write replaces the whole file atomically
// (temporary file in the file's folder, flushed, then renamed over the old one), so a crash
// leaves either the old or the new file. A symbolic link at the path stays a link: its
// target is rewritten. When the folder forbids the temporary file but the file itself is
// writable, the file is rewritten in place instead (see rewriteInPlace in IniFile.cpp for
// what that guarantees). A file the user may not write is never replaced. A write the file
// system refuses, or a name or value that would break the line structure (CR, LF; "=" or a
// leading ";" or "[" in a key), throws IniWriteError "Unable to write to <path>".
//
// Every read sees the file as it is on disk, so two objects on one file never disagree;
// within an update (BeginUpdate .. EndUpdate) an object's reads also see its own writes, which
// reach the disk together in one replacement when the update ends.

#include <cstdint>
#include <memory>
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
    // Decimal with one optional sign, or hexadecimal after "0x"/"0X"; anything else (trailing
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

    // Writes outside an update reach the disk one by one. Between BeginUpdate() and the
    // matching EndUpdate() (they nest) writes only change this object's copy of the file,
    // which its own reads see; the last EndUpdate() writes that copy in one replacement. A
    // write the copy refuses (a file that cannot be read, a name that would break a line)
    // throws at once and leaves the copy as it was; EndUpdate() throws when the file system
    // refuses the replacement, and the copy is dropped either way.
    void BeginUpdate();
    void EndUpdate();
    // Drops the copy of an update without writing it (the update still has to be ended).
    void DiscardUpdate();
    // Within an update nothing: the update's end writes; outside one every write has already
    // reached the disk.
    void UpdateFile() {}

    // Ends an update on every way out of a scope: commit() writes it, leaving the scope
    // without commit() drops it.
    class Update {
    public:
        explicit Update(IniFile& file) : _file(file) { _file.BeginUpdate(); }
        ~Update()
        {
            if (!_done) {
                _file.DiscardUpdate();
                _file.EndUpdate();
            }
        }
        void commit()
        {
            _done = true;
            _file.EndUpdate();
        }
        Update(const Update&) = delete;
        Update& operator=(const Update&) = delete;

    private:
        IniFile& _file;
        bool _done = false;
    };

    // How many times any IniFile in this process has written a whole file (or tried to).
    static long replacements();

    // The text forms used for numbers, exposed for the settings code and its tests.
    static std::string formatFloat(double value);
    static bool parseInteger(const std::string& text, std::int32_t& out);
    static bool parseFloat(const std::string& text, double& out);

private:
    struct Line {
        std::string text;  // bytes without the line end
        std::string eol;   // "\r\n", "\n", "\r" or "" for a last line without one
    };
    using Lines = std::vector<Line>;
    // The lines of one reading of the file, shared by the snapshot and the reads using it.
    using SharedLines = std::shared_ptr<const Lines>;
    struct Lookup {
        long sectionLine = -1;  // index of the section's header line, -1 if absent
        long keyLine = -1;      // index of the key's line, -1 if absent
        long lastContent = -1;  // last non-blank line of the section
    };

    // The file's lines; *readable (if given) tells whether the file was read or is absent.
    SharedLines load(bool* readable = nullptr) const;
    Lines loadFromDisk(bool* readable) const;
    Lookup find(const Lines& lines, const std::string& section, const std::string& key) const;
    bool readRaw(const std::string& section, const std::string& key, std::string& value) const;
    // Section and key names as the file holds them: Windows-1251, blanks and tabs trimmed at
    // both ends (as names on the file's lines are), the same for reads and writes.
    static std::string nameOf(const std::string& utf8);
    static std::string bytesOf(const Lines& lines);
    // Writes `lines` over the file whose current content is `before`.
    void save(const std::string& before, Lines lines) const;
    [[noreturn]] void refuse() const;

    std::string _path;

    // The copy an update changes: the file's bytes when the update began, and its lines now.
    int _updateDepth = 0;
    bool _updateLoaded = false;
    std::string _updateBefore;
    std::shared_ptr<Lines> _updateLines;

    // The lines of the last read, reused while the file on disk is unchanged (same inode,
    // size and modification and change times), so reading many keys reads the file once.
    struct Snapshot {
        bool valid = false;
        bool readable = false;
        unsigned long long dev = 0, ino = 0, size = 0;
        long long mtimeNs = 0, ctimeNs = 0;
        SharedLines lines;
        bool matches(const struct stat& st) const;
        void take(const struct stat& st, SharedLines fileLines);
    };
    mutable Snapshot _cache;
};

}  // namespace qmx
