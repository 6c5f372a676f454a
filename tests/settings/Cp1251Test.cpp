// Windows-1251 conversion against the C library's own converter, and case folding.

#include "Cp1251.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

namespace {

using namespace qmx;

std::string viaIconv(const std::string& in, const char* from, const char* to, bool& ok)
{
    iconv_t cd = iconv_open(to, from);
    ok = cd != reinterpret_cast<iconv_t>(-1);
    if (!ok)
        return {};
    std::string src = in, out(in.size() * 4 + 16, '\0');
    char* ip = src.data();
    char* op = out.data();
    size_t il = src.size(), ol = out.size();
    ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1);
    iconv_close(cd);
    out.resize(out.size() - ol);
    return out;
}

// Every byte but 0x98 (which has no character) decodes as the system converter decodes it,
// and every decoded character encodes back to its byte.
TEST(Cp1251, EveryByteAgainstTheSystemConverter)
{
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = cp1251ToUtf8(byte);
        EXPECT_EQ(utf8ToCp1251(utf8), byte) << "byte " << b;
        if (b == 0x98)
            continue;
        bool ok = false;
        const std::string ref = viaIconv(byte, "CP1251", "UTF-8", ok);
        if (!ok)
            GTEST_SKIP() << "the C library has no CP1251 converter";
        EXPECT_EQ(utf8, ref) << "byte " << b;
    }
}

TEST(Cp1251, TextsAndUnrepresentableCharacters)
{
    const std::string key = "АЦП. Mаксимальное время сбора данных, с";
    const std::string bytes = utf8ToCp1251(key);
    EXPECT_EQ(bytes.size(), 39u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[5]), 0x4D) << "Latin M stays Latin";
    EXPECT_EQ(cp1251ToUtf8(bytes), key);
    EXPECT_EQ(utf8ToCp1251("ёЁ№ 10 В"), "\xB8\xA8\xB9 10 \xC2");
    EXPECT_EQ(utf8ToCp1251("a\xE2\x82\xACz"), "a\x88z") << "euro sign";
    EXPECT_EQ(utf8ToCp1251("日本"), "??");
    EXPECT_EQ(utf8ToCp1251("\xFF\xC3"), "??") << "malformed UTF-8";
}

TEST(Cp1251, CaseFolding)
{
    const std::string upper = utf8ToCp1251("ABCZАБВЯЁЎЄЇІЂЃЉЊЌЋЏЈҐЅ");
    const std::string lower = utf8ToCp1251("abczабвяёўєїіђѓљњќћџјґѕ");
    ASSERT_EQ(upper.size(), lower.size());
    for (std::size_t i = 0; i < upper.size(); ++i) {
        EXPECT_EQ(cp1251ToLower(static_cast<unsigned char>(upper[i])), static_cast<unsigned char>(lower[i])) << i;
        EXPECT_EQ(cp1251ToLower(static_cast<unsigned char>(lower[i])), static_cast<unsigned char>(lower[i])) << i;
    }
    EXPECT_EQ(cp1251ToLower('1'), '1');
    EXPECT_EQ(cp1251ToLower(0x98), 0x98);
}

}  // namespace
