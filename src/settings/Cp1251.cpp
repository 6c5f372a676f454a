#include "Cp1251.h"

#include <cstdint>

namespace qmx {
namespace {

// Code points of bytes 0x80 .. 0xBF; 0xC0 .. 0xFF are U+0410 .. U+044F in order.
const char16_t kUpper[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98 (0x98: no character)
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char32_t codePoint(unsigned char b)
{
    if (b < 0x80)
        return b;
    if (b >= 0xC0)
        return 0x0410 + (b - 0xC0);
    return kUpper[b - 0x80];
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

int encodeOne(char32_t cp)
{
    if (cp < 0x80)
        return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F)
        return static_cast<int>(0xC0 + (cp - 0x0410));
    for (int i = 0; i < 64; ++i)
        if (kUpper[i] == cp)
            return 0x80 + i;
    return -1;
}

// Decodes one UTF-8 sequence at s[i]; advances i. Malformed input yields U+FFFD.
char32_t nextCodePoint(const std::string& s, std::size_t& i)
{
    const auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80)
        return b0;
    int extra = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return cp;
}

}  // namespace

std::string cp1251ToUtf8(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes)
        appendUtf8(out, codePoint(static_cast<unsigned char>(c)));
    return out;
}

std::string utf8ToCp1251(const std::string& utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const int b = encodeOne(nextCodePoint(utf8, i));
        out += static_cast<char>(b < 0 ? '?' : b);
    }
    return out;
}

unsigned char cp1251ToLower(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDF)
        return static_cast<unsigned char>(c + 32);
    switch (c) {
    case 0x80: return 0x90;  // Ђ ђ
    case 0x81: return 0x83;  // Ѓ ѓ
    case 0x8A: return 0x9A;  // Љ љ
    case 0x8C: return 0x9C;  // Њ њ
    case 0x8D: return 0x9D;  // Ќ ќ
    case 0x8E: return 0x9E;  // Ћ ћ
    case 0x8F: return 0x9F;  // Џ џ
    case 0xA1: return 0xA2;  // Ў ў
    case 0xA3: return 0xBC;  // Ј ј
    case 0xA5: return 0xB4;  // Ґ ґ
    case 0xA8: return 0xB8;  // Ё ё
    case 0xAA: return 0xBA;  // Є є
    case 0xAF: return 0xBF;  // Ї ї
    case 0xB2: return 0xB3;  // І і
    case 0xBD: return 0xBE;  // Ѕ ѕ
    default: return c;
    }
}

}  // namespace qmx
