#include "host/normalize_host.h"
#include "host/normalize_host_paths.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace orvo {
namespace {

using namespace std::string_literals;

struct Row {
    const char* name;
    std::optional<std::string> input;
    std::optional<std::string> expected;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

const std::optional<std::string> none;

// The rule's documented cases, plain ASCII.
const std::vector<Row> kAsciiRows = {
    {"Absent", std::nullopt, none},
    {"Empty", "", none},
    {"OnlyWhiteSpace", " \t\n\r\v\f ", none},
    {"UpperCase", "Tenant.Service.TLD", "tenant.service.tld"},
    {"FullAddress", "  HTTPS://Tenant.Service.tld:444/app/page?x=1\n", "tenant.service.tld"},
    {"Port", "tenant.service.tld:444", "tenant.service.tld"},
    {"TrailingColon", "tenant.service.tld:", "tenant.service.tld"},
    {"LeadingColons", "::tenant.service.tld:1", "tenant.service.tld"},
    {"OnlyColons", ":::", none},
    {"Path", "tenant.service.tld/path", "tenant.service.tld"},
    {"AnyScheme", "ws://tenant.service.tld:1/x", "tenant.service.tld"},
    {"TwoPorts", "https://tenant.service.tld:444:9/x", "tenant.service.tld"},
    {"FirstSchemeMarkCounts", "a://b://c.tld", none},
    {"SingleLabel", "localhost", none},
    {"SingleLabelWithPort", "localhost:3000", none},
    {"Ipv4", "192.168.10.20", none},
    {"Ipv6WithPort", "[2001:db8::1]:443", none},
    {"OneLabelAfterDot", ".tld", none},
    {"TrailingDotStays", "tenant.service.tld.", "tenant.service.tld."},
    {"DoubledDotStays", "tenant..service.tld", "tenant..service.tld"},
    {"DigitInLastLabel", "tenant.service.t1d", none},
    {"PunycodeLastLabel", "tenant.service.xn--p1ai", none},
    {"HyphenInLastLabel", "tenant.service.t-ld", none},
    {"UserInfoStays", "user@tenant.service.tld", "user@tenant.service.tld"},
    {"UserAndPassword", "user:secret@tenant.service.tld", none},
    {"Query", "tenant.service.tld?x=1", none},
    {"Fragment", "tenant.service.tld#top", none},
    {"SpaceAfterScheme", "https:// tenant.service.tld", " tenant.service.tld"},
    {"SpaceLabelAfterScheme", "https:// .tld", " .tld"},
    {"SpaceBeforePort", "tenant.service.tld :444", none},
    {"EmptyHostBeforePath", "https:///tenant.service.tld", none},
    {"SpaceInsideFirstLabel", "tenant service.tld", "tenant service.tld"},
    {"TwoDottedLines", "tenant.service.tld\nother.tld", "tenant.service.tld\nother.tld"},
    {"SecondLineWithoutDot", "tenant.service.tld\nsecond", none},
    {"CrLfBetweenLines", "a.tld\r\nb.tld", "a.tld\r\nb.tld"},
    {"ShortestHost", "a.b", "a.b"},
    {"NulInsideFirstLabel", "a\0b.tld"s, "a\0b.tld"s},
    {"ControlAfterLastLabel", "a.tld\x1f", none},
    {"FileSeparatorIsNoWhiteSpace",
     "\x1c"
     "a.tld",
     "\x1c"
     "a.tld"},
};

// Text beyond ASCII: white space, case mapping, characters and letters.
const std::vector<Row> kUnicodeRows = {
    {"NoBreakSpaceTrimmed", "\u00a0tenant.service.tld\u00a0", "tenant.service.tld"},
    {"LineAndParagraphSeparatorsTrimmed", "\u2028a.tld\u2029", "a.tld"},
    {"NextLineTrimmed", "\u0085a.tld\u0085", "a.tld"},
    {"IdeographicSpaceTrimmed", "\u3000a.tld\u3000", "a.tld"},
    {"NoBreakSpaceInsideStays", "a\u00a0b.tld", "a\u00a0b.tld"},
    {"NoBreakSpaceEndsLastLabel", "a.tld\u00a0:1", none},
    {"ZeroWidthSpaceIsNotWhiteSpace", "\u200ba.tld", "\u200ba.tld"},
    {"ZeroWidthSpaceInLastLabel", "a.tld\u200b", none},
    {"MarkOfTrimmedSpaceStays", " \u0301a.tld", "\u0301a.tld"},
    {"CyrillicUpperCase", "tenant.service.\u0420\u0424", "tenant.service.\u0440\u0444"},
    {"GreekUpperCase", "\u0395\u039b.\u0395\u039b\u039b\u0391\u03a3",
     "\u03b5\u03bb.\u03b5\u03bb\u03bb\u03b1\u03c3"},
    {"NoFinalSigma", "\u039f\u0394\u039f\u03a3.tld", "\u03bf\u03b4\u03bf\u03c3.tld"},
    // The full mapping: one code point may become two.
    {"DottedCapitalI", "\u0130.tld", "i\u0307.tld"},
    {"DottedCapitalIInLastLabel", "a.\u0130\u00c7", "a.i\u0307\u00e7"},
    {"CapitalWithProsgegrammeni", "a.\u1f88", "a.\u1f80"},
    {"KelvinSign", "a.\u212a", "a.k"},
    {"UpperCaseBeforeNonAsciiSpace", "TENANT.SERVICE.TLD\u00a0", "tenant.service.tld"},
    {"CjkLastLabel", "tenant.service.\u4e2d\u56fd", "tenant.service.\u4e2d\u56fd"},
    {"KanaLastLabel", "tenant.\u30c6\u30b9\u30c8", "tenant.\u30c6\u30b9\u30c8"},
    {"FullwidthDigitInLastLabel", "tenant.tld\uff11", none},
    {"ArabicIndicDigitInLastLabel", "tenant.\u0645\u0664", none},
    {"MarkOnLetterOfLastLabel", "a.b.tld\u0301", "a.b.tld\u0301"},
    {"DotWithMarkDoesNotSplit", "tenant.\u0301service", none},
    {"DotWithMarkInsideLastLabel", "a.b\u0301.\u0301c", none},
    {"DotWithMarkInsideFirstLabel", "a.\u0301b.tld", "a.\u0301b.tld"},
    {"ColonWithMarkIsNoPort", "a:\u0301b.tld", "a:\u0301b.tld"},
    {"SlashWithMarkIsNoPath", "a/\u0301b.tld", "a/\u0301b.tld"},
    {"MarkInsideSchemeMark", "x:/\u0301/a.tld", none},
    {"MarkRightAfterSchemeMark", "https://\u0301a.tld", "\u0301a.tld"},
    {"FullwidthSolidusIsNoPath", "a\uff0fb.tld", "a\uff0fb.tld"},
    {"FullwidthSolidusInLastLabel", "a.tld\uff0fpath", none},
    {"FullwidthColonInLastLabel", "a.tld\uff1a444", none},
    {"FullwidthFullStopIsNoDot", "tenant\uff0etld", none},
    {"IdeographicFullStopIsNoDot", "tenant\u3002tld", none},
    {"AstralLetterLastLabel", "a.\U00010400", "a.\U00010428"},
    {"EmojiLastLabel", "a.\U0001f600", none},
    {"InvalidByte", "a.tld\xff", none},
    {"TruncatedSequence", "a.tld\xe2\x82", none},
    {"OverlongDot", "a\xc0\xaetld", none},
    {"EncodedSurrogate", "a.\xed\xa0\x80tld", none},
    {"BeyondLastCodePoint", "a.tld\xf4\x90\x80\x80", none},
};

class NormalizeHostTest : public testing::TestWithParam<Row> {};

TEST_P(NormalizeHostTest, GivesTheExpectedHost) {
    const Row& row = GetParam();
    const auto input = row.input ? std::optional<std::string_view>(*row.input) : std::nullopt;
    EXPECT_EQ(normalizeHost(input), row.expected);

    // The byte-level shortcut must never change an answer.
    if (row.input && isAscii(*row.input)) {
        EXPECT_EQ(detail::normalizeHostAscii(*row.input), detail::normalizeHostUnicode(*row.input));
    }

    // A host address passed back in stays as it is, unless it starts with
    // the white space that stood after "://".
    if (row.expected && !row.expected->starts_with(' ')) {
        EXPECT_EQ(normalizeHost(*row.expected), row.expected);
    }
}

std::string rowName(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Ascii, NormalizeHostTest, testing::ValuesIn(kAsciiRows), rowName);
INSTANTIATE_TEST_SUITE_P(Unicode, NormalizeHostTest, testing::ValuesIn(kUnicodeRows), rowName);

// The user's language must not change the mapping: Turkish and Lithuanian
// have rules of their own for the letter i.
TEST(NormalizeHostLocale, MappingIgnoresTheDefaultLocale) {
    const icu::Locale before = icu::Locale::getDefault();
    for (const char* locale : {"tr", "lt", "az"}) {
        SCOPED_TRACE(locale);
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(locale), status);
        EXPECT_EQ(normalizeHost("\u00c7I.TLD"), "\u00e7i.tld");
        EXPECT_EQ(normalizeHost("\u0130\u00cc.tld"), "i\u0307\u00ec.tld");
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(before, status);
}

TEST(NormalizeHostTwice, SpaceAfterSchemeIsTrimmedOnTheSecondPass) {
    EXPECT_EQ(normalizeHost(" tenant.service.tld"), "tenant.service.tld");
    EXPECT_EQ(normalizeHost("https://\u00a0tenant.service.tld"), "\u00a0tenant.service.tld");
    EXPECT_EQ(normalizeHost("\u00a0tenant.service.tld"), "tenant.service.tld");
}

TEST(NormalizeHostTwice, SpaceLabelVanishesOnTheSecondPass) {
    EXPECT_EQ(normalizeHost(" .tld"), std::nullopt);
}

} // namespace
} // namespace orvo
