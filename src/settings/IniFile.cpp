#include "IniFile.h"

#include "Cp1251.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace qmx {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (cp1251ToLower(static_cast<unsigned char>(a[i])) != cp1251ToLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The section name of a header line, or false when the line is not one.
bool sectionName(const std::string& trimmed, std::string& name)
{
    if (trimmed.empty() || trimmed[0] != '[')
        return false;
    const std::size_t close = trimmed.rfind(']');
    if (close == std::string::npos || close == 0)
        return false;
    name = trim(trimmed.substr(1, close - 1));
    return true;
}

// Key and value of an entry line (a line without "=" is a key with an empty value).
void splitEntry(const std::string& trimmed, std::string& key, std::string& value)
{
    const std::size_t eq = trimmed.find('=');
    if (eq == std::string::npos) {
        key = trimmed;
        value.clear();
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

void IniFile::Snapshot::take(const struct stat& st, const std::vector<Line>& fileLines)
{
    valid = true;
    readable = true;
    dev = static_cast<unsigned long long>(st.st_dev);
    ino = static_cast<unsigned long long>(st.st_ino);
    size = static_cast<unsigned long long>(st.st_size);
    mtimeNs = nanoseconds(st.st_mtim);
    ctimeNs = nanoseconds(st.st_ctim);
    lines = fileLines;
}

namespace {

}  // namespace

IniFile::IniFile(std::string path) : _path(std::move(path)) {}

std::vector<IniFile::Line> IniFile::load(bool* readable) const
{
    struct stat st {};
    const bool exists = ::stat(_path.c_str(), &st) == 0;
    if (exists && S_ISREG(st.st_mode) && _cache.matches(st)) {
        if (readable)
            *readable = _cache.readable;
        return _cache.lines;
    }
    bool ok = false;
    std::vector<Line> lines = loadFromDisk(&ok);
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
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n')
            ++end;
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

IniFile::Lookup IniFile::find(const std::vector<Line>& lines, const std::string& section,
                              const std::string& key) const
{
    Lookup r;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string text = lines[i].text;
        if (i == 0 && text.compare(0, 3, kUtf8Bom) == 0)
            text.erase(0, 3);  // a byte-order mark does not hide the first section
        const std::string t = trim(text);
        std::string name;
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
        std::string k, v;
        splitEntry(t, k, v);
        if (equalNoCase(k, key))
            r.keyLine = static_cast<long>(i);
    }
    return r;
}

bool IniFile::readRaw(const std::string& section, const std::string& key, std::string& value) const
{
    const std::vector<Line> lines = load();
    const Lookup r = find(lines, utf8ToCp1251(section), utf8ToCp1251(key));
    if (r.keyLine < 0)
        return false;
    std::string k, v;
    splitEntry(trim(lines[r.keyLine].text), k, v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    if (v.size() > kMaxValueLength)
        v.resize(kMaxValueLength);
    value = cp1251ToUtf8(v);
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
    const std::string t = trim(text);
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
        if (*b == '+')
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
    const std::string t = trim(text);
    if (t.empty())
        return false;
    const char* b = t.data();
    if (*b == '+')
        ++b;
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
    return find(load(), utf8ToCp1251(section), std::string()).sectionLine >= 0;
}

bool IniFile::ValueExists(const std::string& section, const std::string& key) const
{
    return find(load(), utf8ToCp1251(section), utf8ToCp1251(key)).keyLine >= 0;
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
    const std::string section = trim(utf8ToCp1251(sectionUtf8));
    const std::string key = trim(utf8ToCp1251(keyUtf8));
    const std::string value = utf8ToCp1251(valueUtf8);
    auto breaksLines = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    if (breaksLines(section) || breaksLines(key) || breaksLines(value) || section.empty() ||
        key.empty() || key.find('=') != std::string::npos || key[0] == ';' || key[0] == '[')
        refuse();

    // A file that exists but cannot be read is never replaced: the write would lose it.
    bool readable = false;
    std::vector<Line> lines = load(&readable);
    if (!readable)
        refuse();
    const Lookup r = find(lines, section, key);
    if (r.keyLine >= 0) {
        std::string k, v;
        splitEntry(trim(lines[r.keyLine].text), k, v);
        lines[r.keyLine].text = k + "=" + value;
    } else if (r.sectionLine >= 0) {
        Line& before = lines[r.lastContent];
        if (before.eol.empty())
            before.eol = "\r\n";
        lines.insert(lines.begin() + r.lastContent + 1, Line{key + "=" + value, "\r\n"});
    } else {
        if (!lines.empty() && lines.back().eol.empty())
            lines.back().eol = "\r\n";
        lines.push_back(Line{"[" + section + "]", "\r\n"});
        lines.push_back(Line{key + "=" + value, "\r\n"});
    }
    save(lines);
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

void IniFile::save(const std::vector<Line>& lines) const
{
    std::string bytes;
    for (const Line& l : lines) {
        bytes += l.text;
        bytes += l.eol;
    }
    // A directory (or anything else that is not a regular file) at the path is never replaced.
    struct stat st {};
    const bool exists = ::stat(_path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        refuse();

    std::string tmpl = _path + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        refuse();
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fchmod(fd, exists ? (st.st_mode & 07777) : 0644) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmpl.c_str(), _path.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        _cache = Snapshot{};
        refuse();
    }
    // What was just written is what the next read would find.
    _cache = Snapshot{};
    struct stat now {};
    if (::stat(_path.c_str(), &now) == 0 && S_ISREG(now.st_mode))
        _cache.take(now, lines);
}

}  // namespace qmx
