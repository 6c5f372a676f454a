#include "IniFile.h"

#include "Cp1251.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace qmx {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The helpers below look at the file's lines through views: reading a key scans every line,
// and copying each one would cost more than the scan.
std::string_view trim(std::string_view s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (cp1251ToLower(static_cast<unsigned char>(a[i])) != cp1251ToLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The section name of a header line, or false when the line is not one.
bool sectionName(std::string_view trimmed, std::string_view& name)
{
    if (trimmed.empty() || trimmed[0] != '[')
        return false;
    const std::size_t close = trimmed.rfind(']');
    if (close == std::string_view::npos || close == 0)
        return false;
    name = trim(trimmed.substr(1, close - 1));
    return true;
}

// Key and value of an entry line (a line without "=" is a key with an empty value).
void splitEntry(std::string_view trimmed, std::string_view& key, std::string_view& value)
{
    const std::size_t eq = trimmed.find('=');
    if (eq == std::string_view::npos) {
        key = trimmed;
        value = {};
        return;
    }
    key = trim(trimmed.substr(0, eq));
    value = trim(trimmed.substr(eq + 1));
}

constexpr const char kUtf8Bom[] = "\xEF\xBB\xBF";

long long nanoseconds(const struct timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

}  // namespace

// Whether `st` describes the very file the snapshot was taken of.
bool IniFile::Snapshot::matches(const struct stat& st) const
{
    return valid && dev == static_cast<unsigned long long>(st.st_dev) && ino == static_cast<unsigned long long>(st.st_ino) &&
           size == static_cast<unsigned long long>(st.st_size) && mtimeNs == nanoseconds(st.st_mtim) &&
           ctimeNs == nanoseconds(st.st_ctim);
}

void IniFile::Snapshot::take(const struct stat& st, SharedLines fileLines)
{
    // A file changed within the current tick of the file system's clock may change again
    // with the same size and times (an in-place write by another object or program): such a
    // snapshot could hide that change, so it is not kept and the next read reads the file.
    struct timespec now {};
    if (::clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0 ||
        nanoseconds(now) <= std::max(nanoseconds(st.st_mtim), nanoseconds(st.st_ctim))) {
        *this = Snapshot{};
        return;
    }
    valid = true;
    readable = true;
    dev = static_cast<unsigned long long>(st.st_dev);
    ino = static_cast<unsigned long long>(st.st_ino);
    size = static_cast<unsigned long long>(st.st_size);
    mtimeNs = nanoseconds(st.st_mtim);
    ctimeNs = nanoseconds(st.st_ctim);
    lines = std::move(fileLines);
}

namespace {

}  // namespace

IniFile::IniFile(std::string path) : _path(std::move(path)) {}

IniFile::SharedLines IniFile::load(bool* readable) const
{
    if (_updateLoaded) {
        if (readable)
            *readable = true;
        return _updateLines;
    }
    struct stat st {};
    const bool exists = ::stat(_path.c_str(), &st) == 0;
    if (exists && S_ISREG(st.st_mode) && _cache.matches(st)) {
        if (readable)
            *readable = _cache.readable;
        return _cache.lines;
    }
    bool ok = false;
    auto lines = std::make_shared<const Lines>(loadFromDisk(&ok));
    _cache = Snapshot{};
    if (exists && S_ISREG(st.st_mode) && ok) {
        // Only a snapshot taken of an unchanged file is kept: the file must still match the
        // state seen before reading it.
        struct stat after {};
        if (::stat(_path.c_str(), &after) == 0 && after.st_ino == st.st_ino && after.st_size == st.st_size &&
            nanoseconds(after.st_mtim) == nanoseconds(st.st_mtim))
            _cache.take(st, lines);
    }
    if (readable)
        *readable = ok;
    return lines;
}

std::vector<IniFile::Line> IniFile::loadFromDisk(bool* readable) const
{
    std::vector<Line> lines;
    std::string bytes;
    bool ok = true;
    struct stat st {};
    if (::stat(_path.c_str(), &st) != 0) {
        ok = errno == ENOENT;  // no file yet: nothing to read, nothing to lose
    } else if (!S_ISREG(st.st_mode)) {
        ok = false;
    } else {
        const int fd = ::open(_path.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0;
        char buf[65536];
        while (ok) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            bytes.append(buf, static_cast<std::size_t>(n));
        }
        if (fd >= 0)
            ::close(fd);
    }
    if (readable)
        *readable = ok;
    if (!ok)
        return lines;

    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = std::min(bytes.find_first_of("\r\n", start), bytes.size());
        Line line{bytes.substr(start, end - start), {}};
        if (end < bytes.size()) {
            if (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n')
                line.eol = "\r\n";
            else
                line.eol = std::string(1, bytes[end]);
        }
        start = end + line.eol.size();
        lines.push_back(std::move(line));
    }
    return lines;
}

IniFile::Lookup IniFile::find(const Lines& lines, const std::string& section, const std::string& key) const
{
    Lookup r;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view text = lines[i].text;
        if (i == 0 && text.substr(0, 3) == kUtf8Bom)
            text.remove_prefix(3);  // a byte-order mark does not hide the first section
        const std::string_view t = trim(text);
        std::string_view name;
        if (sectionName(t, name)) {
            if (inSection)
                break;  // the first section of that name is the one that counts
            if (equalNoCase(name, section)) {
                inSection = true;
                r.sectionLine = static_cast<long>(i);
                r.lastContent = static_cast<long>(i);
            }
            continue;
        }
        if (!inSection || t.empty())
            continue;
        r.lastContent = static_cast<long>(i);
        if (t[0] == ';' || r.keyLine >= 0 || t[0] == '[')
            continue;
        std::string_view k, v;
        splitEntry(t, k, v);
        if (equalNoCase(k, key))
            r.keyLine = static_cast<long>(i);
    }
    return r;
}

std::string IniFile::nameOf(const std::string& utf8)
{
    return std::string(trim(utf8ToCp1251(utf8)));
}

bool IniFile::readRaw(const std::string& section, const std::string& key, std::string& value) const
{
    const SharedLines lines = load();
    const Lookup r = find(*lines, nameOf(section), nameOf(key));
    if (r.keyLine < 0)
        return false;
    std::string_view k, v;
    splitEntry(trim((*lines)[r.keyLine].text), k, v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > kMaxValueLength)
        v = v.substr(0, kMaxValueLength);
    value = cp1251ToUtf8(std::string(v));
    return true;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const
{
    std::string v;
    return readRaw(section, key, v) ? v : defaultValue;
}

bool IniFile::parseInteger(const std::string& text, std::int32_t& out)
{
    const std::string_view t = trim(text);
    if (t.empty())
        return false;
    const char* b = t.data();
    const char* e = t.data() + t.size();
    std::int64_t v = 0;
    std::from_chars_result res{};
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        std::uint64_t u = 0;
        res = std::from_chars(b + 2, e, u, 16);
        if (res.ec != std::errc() || u > 0xFFFFFFFFu)
            return false;
        // Hexadecimal is a 32-bit pattern: 0xFFFFFFFF reads as -1.
        v = static_cast<std::int32_t>(static_cast<std::uint32_t>(u));
    } else {
        // One optional sign: from_chars takes a "-" itself, so a "+" is skipped only when a
        // digit follows ("+-5" and "++5" are not numbers).
        if (*b == '+' && b + 1 < e && isDigit(b[1]))
            ++b;
        res = std::from_chars(b, e, v, 10);
        if (res.ec != std::errc() || v < INT32_MIN || v > INT32_MAX)
            return false;
    }
    if (res.ptr != e)
        return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t IniFile::ReadInteger(const std::string& section, const std::string& key,
                                  std::int32_t defaultValue) const
{
    std::string v;
    std::int32_t out = 0;
    return readRaw(section, key, v) && parseInteger(v, out) ? out : defaultValue;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool IniFile::parseFloat(const std::string& text, double& out)
{
    const std::string_view t = trim(text);
    if (t.empty())
        return false;
    const char* b = t.data();
    if (*b == '+' && t.size() > 1 && (isDigit(t[1]) || t[1] == '.'))
        ++b;  // as for integers: one sign only
    double v = 0;
    const auto res = std::from_chars(b, t.data() + t.size(), v, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

double IniFile::ReadFloat(const std::string& section, const std::string& key, double defaultValue) const
{
    std::string v;
    double out = 0;
    return readRaw(section, key, v) && parseFloat(v, out) ? out : defaultValue;
}

bool IniFile::SectionExists(const std::string& section) const
{
    return find(*load(), nameOf(section), std::string()).sectionLine >= 0;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const
{
    return find(*load(), nameOf(section), nameOf(key)).keyLine >= 0;
}

std::string IniFile::formatFloat(double value)
{
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
    return std::string(buf, res.ptr);
}

void IniFile::refuse() const
{
    throw IniWriteError("Unable to write to " + _path);
}

void IniFile::WriteString(const std::string& sectionUtf8, const std::string& keyUtf8,
                          const std::string& valueUtf8)
{
    const std::string section = nameOf(sectionUtf8);
    const std::string key = nameOf(keyUtf8);
    const std::string value = utf8ToCp1251(valueUtf8);
    auto breaksLines = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    if (breaksLines(section) || breaksLines(key) || breaksLines(value) || section.empty() ||
        key.empty() || key.find('=') != std::string::npos || key[0] == ';' || key[0] == '[')
        refuse();

    // A file that exists but cannot be read is never replaced: the write would lose it.
    bool readable = false;
    const SharedLines old = load(&readable);
    if (!readable)
        refuse();
    // Within an update the update's copy is changed in place; otherwise a copy of the file's
    // lines, which is then written.
    Lines single;
    if (_updateDepth > 0 && !_updateLoaded) {
        _updateBefore = bytesOf(*old);
        _updateLines = std::make_shared<Lines>(*old);
        _updateLoaded = true;
    }
    if (_updateDepth == 0)
        single = *old;
    Lines& lines = _updateDepth > 0 ? *_updateLines : single;
    const Lookup r = find(lines, section, key);
    if (r.keyLine >= 0) {
        std::string_view k, v;
        splitEntry(trim(lines[r.keyLine].text), k, v);
        lines[r.keyLine].text = std::string(k) + "=" + value;
    } else if (r.sectionLine >= 0) {
        Line& last = lines[r.lastContent];
        if (last.eol.empty())
            last.eol = "\r\n";
        lines.insert(lines.begin() + r.lastContent + 1, Line{key + "=" + value, "\r\n"});
    } else {
        if (!lines.empty() && lines.back().eol.empty())
            lines.back().eol = "\r\n";
        lines.push_back(Line{"[" + section + "]", "\r\n"});
        lines.push_back(Line{key + "=" + value, "\r\n"});
    }
    if (_updateDepth == 0)
        save(bytesOf(*old), std::move(single));
}

void IniFile::BeginUpdate() { ++_updateDepth; }

void IniFile::DiscardUpdate()
{
    _updateLoaded = false;
    _updateBefore.clear();
    _updateLines.reset();
}

void IniFile::EndUpdate()
{
    if (_updateDepth == 0 || --_updateDepth > 0)
        return;
    if (!_updateLoaded)
        return;
    const std::string before = std::move(_updateBefore);
    Lines lines = std::move(*_updateLines);
    DiscardUpdate();
    save(before, std::move(lines));
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void IniFile::WriteFloat(const std::string& section, const std::string& key, double value)
{
    WriteString(section, key, formatFloat(value));
}

namespace {

// The file a write must change: the path itself, or what its chain of symbolic links names
// (a link is kept and its target rewritten, as an editor would). A dangling link names the
// file to create. False for a loop or a link that cannot be read.
bool resolveLinks(const std::string& path, std::string& target)
{
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return false;
            target = at;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            target = at;
            return true;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(at.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size())
            return false;  // unreadable, or changed while being read
        link.resize(static_cast<std::size_t>(n));
        if (link[0] != '/') {
            const std::size_t slash = at.rfind('/');
            link = (slash == std::string::npos ? std::string() : at.substr(0, slash + 1)) + link;
        }
        at = link;
    }
    return false;  // ELOOP
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const char* data, std::size_t size, off_t at)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

struct FdCloser {
    int fd;
    ~FdCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Rewrites an open file in place from `before` (its current content) to `after`.
//
// Used only when the atomic replacement is impossible because the folder forbids creating
// the temporary file (or renaming over the file) while the file itself is writable. No
// in-place rewrite can be atomic against a crash; what this one guarantees is that a
// failure is never silent and never leaves a file that has lost keys:
//   - bytes before the first changed byte are never written;
//   - when the file grows, the extra space is reserved first, so a full disk refuses the
//     write before any old byte is overwritten;
//   - the new content is written over the old, and only then is the file cut to its new
//     length (never the other way round, which would drop the tail first);
//   - if any step fails, the old bytes are written back and the old length restored, and
//     the caller reports "Unable to write to"; the data reach the disk (fsync) before the
//     write counts as done.
bool rewriteInPlace(int fd, const std::string& before, const std::string& after)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) != before.size())
        return false;  // changed since it was read: the old bytes in hand would not restore it
    std::size_t from = 0;
    while (from < before.size() && from < after.size() && before[from] == after[from])
        ++from;
    if (after.size() > before.size()) {
        const int err = ::posix_fallocate(fd, static_cast<off_t>(before.size()),
                                          static_cast<off_t>(after.size() - before.size()));
        if (err != 0) {
            // Whatever part of the reservation was made goes again; the old bytes are untouched.
            const bool undone = ::ftruncate(fd, static_cast<off_t>(before.size())) == 0;
            static_cast<void>(undone);
            return false;
        }
    }
    const bool ok = writeAll(fd, after.data() + from, after.size() - from, static_cast<off_t>(from)) &&
                    ::ftruncate(fd, static_cast<off_t>(after.size())) == 0 && ::fsync(fd) == 0;
    if (!ok) {
        // Best effort: the old content back, then the error is reported whatever this gives.
        const bool restored = writeAll(fd, before.data() + from, before.size() - from, static_cast<off_t>(from)) &&
                              ::ftruncate(fd, static_cast<off_t>(before.size())) == 0 && ::fsync(fd) == 0;
        static_cast<void>(restored);
    }
    return ok;
}

}  // namespace

std::string IniFile::bytesOf(const Lines& lines)
{
    std::string bytes;
    for (const Line& l : lines) {
        bytes += l.text;
        bytes += l.eol;
    }
    return bytes;
}

namespace {
std::atomic<long> g_replacements{0};
}

long IniFile::replacements() { return g_replacements.load(); }

void IniFile::save(const std::string& before, Lines lines) const
{
    g_replacements.fetch_add(1);
    const std::string bytes = bytesOf(lines);
    _cache = Snapshot{};

    std::string target;
    if (!resolveLinks(_path, target))
        refuse();
    // A directory (or anything else that is not a regular file) at the path is never replaced.
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        refuse();
    if (exists && !S_ISREG(st.st_mode))
        refuse();
    // A file the user may not write is never replaced, although the folder's permission
    // alone would let the rename do it. The descriptor serves the in-place fallback.
    FdCloser existing{-1};
    if (exists) {
        existing.fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (existing.fd < 0)
            refuse();
    }
    auto inPlace = [&] {
        if (!rewriteInPlace(existing.fd, before, bytes))
            refuse();
    };

    std::string tmpl = target + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        if (exists && (errno == EACCES || errno == EPERM))
            inPlace();  // a read-only folder holding a writable file
        else
            refuse();
    } else {
        bool ok = writeAll(fd, bytes.data(), bytes.size(), 0);
        // Keep the owner where allowed (root); otherwise the file becomes the writer's own.
        const bool owned = !ok || !exists || (st.st_uid == ::geteuid() && st.st_gid == ::getegid()) ||
                           ::fchown(fd, st.st_uid, st.st_gid) == 0;
        static_cast<void>(owned);
        ok = ok && ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644) == 0;
        ok = ok && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        if (!ok) {
            ::unlink(tmpl.c_str());
            refuse();
        }
        if (::rename(tmpl.c_str(), target.c_str()) != 0) {
            const int err = errno;
            ::unlink(tmpl.c_str());
            // A sticky folder (like /tmp) refuses to rename over another user's file.
            if (exists && (err == EACCES || err == EPERM))
                inPlace();
            else
                refuse();
        } else {
            // The rename itself reaches the disk with the folder.
            const int dirFd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd >= 0) {
                (void)::fsync(dirFd);
                ::close(dirFd);
            }
        }
    }
    // What was just written is what the next read would find.
    struct stat now {};
    if (::stat(_path.c_str(), &now) == 0 && S_ISREG(now.st_mode))
        _cache.take(now, std::make_shared<const Lines>(std::move(lines)));
}

}  // namespace qmx
