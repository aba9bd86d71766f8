#include "Platform/Text/StringEncoding.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using platform::StringEncoding;
using platform::stringFromBytes;

struct Case {
    const char* name;
    std::string bytes;
    StringEncoding encoding;
    std::optional<std::string> text;
};

const Case kCases[] = {
    {"ascii", "plain text\r\n", StringEncoding::ASCII, "plain text\r\n"},
    {"ascii refuses a high byte", "caf\xE9", StringEncoding::ASCII, std::nullopt},
    {"empty ascii", "", StringEncoding::ASCII, ""},
    {"utf-8 two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", StringEncoding::UTF8,
     "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    {"utf-8 overlong slash", "\xC0\xAF", StringEncoding::UTF8, std::nullopt},
    {"utf-8 overlong three bytes", "\xE0\x80\xAF", StringEncoding::UTF8, std::nullopt},
    {"utf-8 surrogate", "\xED\xA0\x80", StringEncoding::UTF8, std::nullopt},
    {"utf-8 above U+10FFFF", "\xF4\x90\x80\x80", StringEncoding::UTF8, std::nullopt},
    {"utf-8 cut short at the end", "ab\xE2\x82", StringEncoding::UTF8, std::nullopt},
    {"utf-8 lone continuation byte", "\x80", StringEncoding::UTF8, std::nullopt},
    {"utf-8 keeps a NUL", std::string("a\0b", 3), StringEncoding::UTF8, std::string("a\0b", 3)},
    {"latin 1 takes every byte", "caf\xE9\xFF", StringEncoding::ISOLatin1, "caf\xC3\xA9\xC3\xBF"},
    {"an unknown encoding", "abc", static_cast<StringEncoding>(30), std::nullopt},
};

TEST(StringEncoding, BytesBecomeTextOnlyWhenValidInTheEncoding) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(stringFromBytes(c.bytes, c.encoding), c.text);
    }
}

}  // namespace
