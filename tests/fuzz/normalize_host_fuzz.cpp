// Feeds arbitrary bytes to normalizeHost and checks every host address it
// accepts against the promises its callers build on. The checks segment the
// result on their own, with ICU directly, rather than trusting the code under
// test to describe its own output.
#include "host/normalize_host.h"
#include "host/normalize_host_paths.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, std::string_view input, const std::string& result) {
    std::fprintf(stderr, "%s\n  input (%zu bytes), result: [%s]\n", what, input.size(), result.c_str());
    std::abort();
}

bool isWhiteSpace(UChar32 c) {
    const int8_t type = u_charType(c);
    return (c >= 0x09 && c <= 0x0D) || c == 0x85 || type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
           type == U_PARAGRAPH_SEPARATOR;
}

// The user-perceived characters of a text, in NFD, for comparing with the
// separators by canonical equivalence.
struct Character {
    icu::UnicodeString decomposed;
    UChar32 first;
};

std::vector<Character> charactersOf(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    static const std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    iterator->setText(text);
    std::vector<Character> characters;
    int32_t begin = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
         begin = end, end = iterator->next()) {
        const icu::UnicodeString piece(text, begin, end - begin);
        characters.push_back({nfd->normalize(piece, status), piece.char32At(0)});
    }
    if (U_FAILURE(status))
        std::abort();
    return characters;
}

void checkHostAddress(std::string_view input, const std::string& host) {
    const icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(host.data(), static_cast<int32_t>(host.size())));

    // Lower case under the full mapping, each code point on its own: none
    // of them changes when lower-cased again.
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        const icu::UnicodeString one(text.char32At(i));
        if (icu::UnicodeString(one).toLower(icu::Locale::getRoot()) != one)
            fail("host address not in lower case", input, host);
    }

    std::vector<std::vector<const Character*>> labels(1);
    const auto characters = charactersOf(text);
    for (const Character& character : characters) {
        if (character.decomposed == u"/" || character.decomposed == u":")
            fail("host address holds a slash or a colon", input, host);
        if (character.decomposed == u".")
            labels.emplace_back();
        else
            labels.back().push_back(&character);
    }
    std::erase_if(labels, [](const auto& label) { return label.empty(); });
    if (labels.size() < 2)
        fail("fewer than two labels", input, host);
    for (const Character* character : labels.back()) {
        if (!u_hasBinaryProperty(character->first, UCHAR_ALPHABETIC))
            fail("last label holds a non-letter", input, host);
    }

    // Only white space that followed "://" can make a second pass differ.
    if (!isWhiteSpace(text.char32At(0)) && orvo::normalizeHost(host) != host)
        fail("normalising the host address again changes it", input, host);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto host = orvo::normalizeHost(input);

    const bool ascii = std::all_of(input.begin(), input.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii && orvo::detail::normalizeHostAscii(input) != orvo::detail::normalizeHostUnicode(input))
        fail("the ASCII shortcut and the Unicode rule disagree", input, host.value_or("<nothing>"));

    if (host)
        checkHostAddress(input, *host);
    return 0;
}
