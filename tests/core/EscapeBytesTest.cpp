// Text from a broken file on its way to the screen: what stays and what is
// written as \xNN.

#include <gtest/gtest.h>

#include <string>

#include "platform/EscapeBytes.h"

namespace {

struct Case {
    const char* name;
    std::string in;
    std::string out;
};

class EscapeBytes : public testing::TestWithParam<Case> {};

TEST_P(EscapeBytes, KeepsTextAndEscapesRawBytes) { EXPECT_EQ(EscapeRawBytes(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeBytes,
    testing::Values(
        Case{"plain", "ffopen could not open: C:\\img\\a.fit", "ffopen could not open: C:\\img\\a.fit"},
        Case{"line_ends_and_tab", "one\r\ntwo\n\tthree", "one\r\ntwo\n\tthree"},
        Case{"controls", std::string("SIMPL\x01\x02=", 8), "SIMPL\\x01\\x02="},
        Case{"nul_esc_del", std::string("a\0b\x1b\x7f", 5), "a\\x00b\\x1B\\x7F"},
        Case{"utf8_name", "M\xc3\xa4rz/\xe2\x82\xac/\xf0\x9f\x94\xad.fit", "M\xc3\xa4rz/\xe2\x82\xac/\xf0\x9f\x94\xad.fit"},
        Case{"lone_lead_at_end", "a\xc3", "a\\xC3"},
        Case{"lead_then_ascii", "\xe2\x82z", "\\xE2\\x82z"},
        Case{"stray_continuation", "\x80\xbf", "\\x80\\xBF"},
        Case{"overlong", "\xc0\xaf\xe0\x80\xaf", "\\xC0\\xAF\\xE0\\x80\\xAF"},
        Case{"surrogate", "\xed\xa0\x80", "\\xED\\xA0\\x80"},
        Case{"beyond_10ffff", "\xf4\x90\x80\x80\xf5", "\\xF4\\x90\\x80\\x80\\xF5"},
        Case{"gzip_magic", "\x1f\x8b", "\\x1F\\x8B"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
