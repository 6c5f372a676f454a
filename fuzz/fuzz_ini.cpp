// The settings file: arbitrary bytes as the file, then every key it holds read back, then one
// key written (an existing one or a new one) and every other key checked to read as before.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Cp1251.h"
#include "IniFile.h"

namespace {

using qmx::IniFile;

// A private folder for the file, on a RAM file system where there is one (each write is
// flushed to disk); removed when the process ends.
const std::string& folder()
{
    static std::string* dir = [] {
        auto* d = new std::string((::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  std::string("/qmx-fuzz-ini-XXXXXX"));
        if (!::mkdtemp(d->data()))
            std::abort();
        std::atexit([] {
            std::remove((*dir + "/Qmx58_Probe.ini").c_str());
            ::rmdir(dir->c_str());
        });
        return d;
    }();
    return *dir;
}

bool blank(char c) { return c == ' ' || c == '\t'; }
std::string trim(const std::string& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && blank(s[b]))
        ++b;
    while (e > b && blank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}
bool sameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (qmx::cp1251ToLower(static_cast<unsigned char>(a[i])) != qmx::cp1251ToLower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct Name {
    std::string section, key;  // Windows-1251, trimmed
};

// Every (section, key) a line of the file names, by the file format's line rules, without
// duplicates; whether the reader sees it (first section and first key win) is its business.
std::vector<Name> names(const std::string& bytes)
{
    std::vector<Name> out;
    bool inSection = false;
    std::string section;
    std::size_t start = 0;
    for (bool first = true; start < bytes.size() && out.size() < 16; first = false) {
        std::size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        start = end + (end + 1 < bytes.size() && bytes[end] == '\r' && bytes[end + 1] == '\n' ? 2 : 1);
        if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';')
            continue;
        if (t[0] == '[') {
            const std::size_t close = t.rfind(']');
            if (close != std::string::npos && close > 0) {
                section = trim(t.substr(1, close - 1));
                inSection = true;
            }
            continue;
        }
        if (!inSection)
            continue;
        const Name n{section, trim(t.substr(0, t.find('=')))};
        bool seen = false;
        for (const Name& o : out)
            seen = seen || (sameName(o.section, n.section) && sameName(o.key, n.key));
        if (!seen)
            out.push_back(n);
    }
    return out;
}

bool digits(const std::string& t, std::size_t& i, bool hex = false)
{
    const std::size_t from = i;
    while (i < t.size() && (std::isdigit(static_cast<unsigned char>(t[i])) || (hex && std::isxdigit(static_cast<unsigned char>(t[i])))))
        ++i;
    return i > from;
}

// The number grammar of the file, written out independently of the reader: decimal with one
// optional sign within 32 bits, or 0x and up to 32 bits of hexadecimal.
bool referenceInteger(const std::string& text, std::int64_t& v)
{
    const std::string t = trim(text);
    std::size_t i = 0;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        i = 2;
        if (!digits(t, i, true) || i != t.size())
            return false;
        unsigned long long u = 0;
        for (std::size_t j = 2; j < t.size(); ++j) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(t[j])));
            u = u * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
            if (u > 0xFFFFFFFFull)
                return false;
        }
        v = static_cast<std::int32_t>(static_cast<std::uint32_t>(u));
        return true;
    }
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    if (!digits(t, i) || i != t.size())
        return false;
    errno = 0;
    const long long x = std::strtoll(t.c_str(), nullptr, 10);
    if (errno != 0 || x < INT32_MIN || x > INT32_MAX)
        return false;
    v = x;
    return true;
}

// Decimal floating point with one optional sign and an optional exponent, finite.
bool referenceFloat(const std::string& text, double& v)
{
    const std::string t = trim(text);
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        ++i;
    const bool whole = digits(t, i);
    bool fraction = false;
    if (i < t.size() && t[i] == '.') {
        ++i;
        fraction = digits(t, i);
    }
    if (!whole && !fraction)
        return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        if (!digits(t, i))
            return false;
    }
    if (i != t.size())
        return false;
    v = std::strtod(t.c_str(), nullptr);
    // A value too small for a double that rounds to 0 counts as out of range, like one too large.
    const std::string mantissa = t.substr(0, t.find_first_of("eE"));
    if (v == 0 && mantissa.find_first_of("123456789") != std::string::npos)
        return false;
    return std::isfinite(v);
}

// cp1251ToUtf8 never yields these bytes, so no value read can equal them.
const std::string kAbsent = "\xFF\xFE";

struct Seen {
    bool exists;
    std::string value;
};

Seen look(const IniFile& ini, const Name& n)
{
    const std::string s = qmx::cp1251ToUtf8(n.section), k = qmx::cp1251ToUtf8(n.key);
    const bool exists = ini.ValueExists(s, k);
    const std::string v = ini.ReadString(s, k, kAbsent);
    if (exists != (v != kAbsent))
        std::abort();  // ValueExists and ReadString disagree
    if (exists && qmx::utf8ToCp1251(v).size() > IniFile::kMaxValueLength)
        std::abort();
    if (exists && !ini.SectionExists(s))
        std::abort();
    // The same names padded with blanks and tabs find the same entry.
    if (ini.ReadString(" \t" + s + " ", "\t" + k + "  ", kAbsent) != v)
        std::abort();
    std::int32_t i = 0;
    std::int64_t ref = 0;
    const std::int32_t got = ini.ReadInteger(s, k, 12345);
    if (got != (exists && IniFile::parseInteger(v, i) ? i : 12345))
        std::abort();
    if (exists && IniFile::parseInteger(v, i) != referenceInteger(v, ref))
        std::abort();
    if (exists && IniFile::parseInteger(v, i) && i != ref)
        std::abort();
    double f = 0, fr = 0;
    if (exists && IniFile::parseFloat(v, f) != referenceFloat(v, fr))
        std::abort();
    if (exists && IniFile::parseFloat(v, f) && f != fr)
        std::abort();
    if (!std::isfinite(ini.ReadFloat(s, k, 0.5)))
        std::abort();
    return {exists, exists ? v : std::string()};
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string path = folder() + "/Qmx58_Probe.ini";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    const std::vector<Name> all = names(bytes);
    std::vector<Seen> before;
    IniFile ini(path);
    for (const Name& n : all)
        before.push_back(look(ini, n));

    // One write: an existing key chosen by the input, or a new key in a section the file
    // names (or a new section).
    uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        h = (h ^ data[i]) * 16777619u;
    const std::size_t pick = all.empty() ? 0 : h % (all.size() + 1);
    Name target = pick < all.size() ? all[pick] : Name{all.empty() ? "Fuzz" : all[h % all.size()].section, "fuzz-new"};
    const std::string value = "v" + std::to_string(h);
    try {
        ini.WriteString(qmx::cp1251ToUtf8(target.section), qmx::cp1251ToUtf8(target.key), value);
    } catch (const qmx::IniWriteError&) {
        // Only a name the file format cannot hold is refused here, and the file is untouched.
        if (!target.section.empty() && !target.key.empty())
            std::abort();
        if (fileBytes(path) != bytes)
            std::abort();
        return 0;
    }

    // A fresh object reads the file from disk: the key written reads back, every other key
    // reads as before, and the writer's own object agrees.
    const IniFile fresh(path);
    const Seen written = look(fresh, target);
    if (!written.exists || written.value != value)
        std::abort();
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (sameName(all[i].section, target.section) && sameName(all[i].key, target.key))
            continue;
        const Seen now = look(fresh, all[i]);
        if (now.exists != before[i].exists || now.value != before[i].value)
            std::abort();
        const Seen cached = look(ini, all[i]);
        if (cached.exists != now.exists || cached.value != now.value)
            std::abort();
    }
    return 0;
}
