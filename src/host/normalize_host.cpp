#include "host/normalize_host.h"

#include "host/normalize_host_paths.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

namespace orvo {
namespace {

constexpr std::string_view kSchemeMark = "://";

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The white-space-and-newline set: the space, line and paragraph separators
// together with the ASCII controls from tab to carriage return and NEL.
bool isWhiteSpace(UChar32 c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
        return true;
    switch (u_charType(c)) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
        return true;
    default:
        return false;
    }
}

// Decodes UTF-8 into code points, or nothing when a sequence is ill-formed
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<std::vector<UChar32>> decodeUtf8(std::string_view text) {
    std::vector<UChar32> codePoints;
    codePoints.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    std::size_t pos = 0;
    while (pos < text.size()) {
        // ICU's macro counts in 32 bits; feeding it at most one sequence at a
        // time keeps arbitrarily long text safe.
        const auto window = static_cast<int32_t>(std::min<std::size_t>(text.size() - pos, U8_MAX_LENGTH));
        int32_t used = 0;
        UChar32 c = 0;
        U8_NEXT(bytes + pos, used, window, c);
        if (c < 0)
            return std::nullopt;
        codePoints.push_back(c);
        pos += static_cast<std::size_t>(used);
    }
    return codePoints;
}

void appendUtf8(std::string& out, UChar32 c) {
    uint8_t buffer[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, c);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// Appends the full default lower-case mapping of one code point, which may be
// more than one code point (U+0130 becomes "i" and a combining dot above).
// Each code point is mapped on its own, so no context applies (a final sigma
// stays a plain sigma), and the root locale keeps the user's language out of
// it (no dotless i for Turkish).
void appendLowerCase(std::string& out, UChar32 c) {
    UChar source[U16_MAX_LENGTH];
    int32_t sourceLength = 0;
    U16_APPEND_UNSAFE(source, sourceLength, c);
    // No single code point maps to more than three.
    UChar lowered[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t loweredLength = u_strToLower(lowered, 8, source, sourceLength, "", &status);
    if (U_FAILURE(status) || loweredLength > 8) {
        appendUtf8(out, u_tolower(c));
        return;
    }
    for (int32_t i = 0; i < loweredLength;) {
        UChar32 mapped = 0;
        U16_NEXT(lowered, i, loweredLength, mapped);
        appendUtf8(out, mapped);
    }
}

// The character iterator is costly to build, so each thread keeps one. It
// holds no state between calls: every use sets new text first.
icu::BreakIterator* characterIterator() {
    thread_local const std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            made.reset();
        return made;
    }();
    return iterator.get();
}

enum class Separator { none, slash, colon, dot };

// One user-perceived character of the value, as a byte range.
struct Character {
    std::size_t begin = 0;
    std::size_t end = 0;
    Separator separator = Separator::none;
    bool letter = false;
};

Separator separatorOfUnit(char16_t unit) {
    switch (unit) {
    case u'/':
        return Separator::slash;
    case u':':
        return Separator::colon;
    case u'.':
        return Separator::dot;
    default:
        return Separator::none;
    }
}

// A character is a separator only when it is canonically equivalent to one,
// so "." followed by a combining mark is not a dot.
Separator separatorOf(std::string_view character) {
    if (character.size() == 1)
        return separatorOfUnit(static_cast<unsigned char>(character.front()));
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        return Separator::none;
    const auto utf16 = icu::UnicodeString::fromUTF8(
        icu::StringPiece(character.data(), static_cast<int32_t>(character.size())));
    const icu::UnicodeString decomposed = nfd->normalize(utf16, status);
    if (U_FAILURE(status) || decomposed.length() != 1)
        return Separator::none;
    return separatorOfUnit(decomposed.charAt(0));
}

std::optional<std::vector<Character>> splitCharacters(std::string_view value) {
    icu::BreakIterator* iterator = characterIterator();
    // Break positions come back as 32-bit offsets.
    if (iterator == nullptr || value.size() > static_cast<std::size_t>(INT32_MAX))
        return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    icu::LocalUTextPointer text(
        utext_openUTF8(nullptr, value.data(), static_cast<int64_t>(value.size()), &status));
    iterator->setText(text.getAlias(), status);
    if (U_FAILURE(status))
        return std::nullopt;

    std::vector<Character> characters;
    int32_t begin = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
         begin = end, end = iterator->next()) {
        Character character;
        character.begin = static_cast<std::size_t>(begin);
        character.end = static_cast<std::size_t>(end);
        const std::string_view bytes = value.substr(character.begin, character.end - character.begin);
        character.separator = separatorOf(bytes);
        UChar32 first = 0;
        int32_t used = 0;
        U8_NEXT(reinterpret_cast<const uint8_t*>(bytes.data()), used,
                static_cast<int32_t>(std::min<std::size_t>(bytes.size(), U8_MAX_LENGTH)), first);
        character.letter = first >= 0 && u_hasBinaryProperty(first, UCHAR_ALPHABETIC);
        characters.push_back(character);
    }
    return characters;
}

} // namespace

namespace detail {

std::optional<std::string> normalizeHostUnicode(std::string_view text) {
    const auto codePoints = decodeUtf8(text);
    if (!codePoints)
        return std::nullopt;

    // Trim white space at both ends, then lower-case code point by code point.
    const auto first = std::find_if_not(codePoints->begin(), codePoints->end(), isWhiteSpace);
    const auto last = std::find_if_not(codePoints->rbegin(), std::make_reverse_iterator(first), isWhiteSpace);
    std::string lowered;
    lowered.reserve(text.size());
    std::for_each(first, last.base(), [&](UChar32 c) { appendLowerCase(lowered, c); });
    if (lowered.empty())
        return std::nullopt;

    // Whatever precedes the first "://" goes, scheme or not.
    std::string_view value = lowered;
    if (const auto mark = value.find(kSchemeMark); mark != std::string_view::npos)
        value.remove_prefix(mark + kSchemeMark.size());

    const auto characters = splitCharacters(value);
    if (!characters)
        return std::nullopt;
    const auto isA = [](Separator kind) {
        return [kind](const Character& c) { return c.separator == kind; };
    };

    // Path: keep what precedes the first "/".
    const auto beginAll = characters->begin();
    const auto endPath = std::find_if(beginAll, characters->end(), isA(Separator::slash));

    // Port: keep the first non-empty piece between ":" characters, if any.
    auto hostBegin = beginAll;
    auto hostEnd = endPath;
    const auto firstPiece = std::find_if_not(beginAll, endPath, isA(Separator::colon));
    if (firstPiece != endPath) {
        hostBegin = firstPiece;
        hostEnd = std::find_if(firstPiece, endPath, isA(Separator::colon));
    }

    // Labels: at least two non-empty ones, the last made of letters only.
    int labels = 0;
    auto lastLabel = hostBegin;
    auto lastLabelEnd = hostBegin;
    for (auto it = hostBegin; it != hostEnd;) {
        if (it->separator == Separator::dot) {
            ++it;
            continue;
        }
        const auto labelEnd = std::find_if(it, hostEnd, isA(Separator::dot));
        ++labels;
        lastLabel = it;
        lastLabelEnd = labelEnd;
        it = labelEnd;
    }
    if (labels < 2 || !std::all_of(lastLabel, lastLabelEnd, [](const Character& c) { return c.letter; }))
        return std::nullopt;

    // The result is the host as it stood, empty labels included.
    const std::size_t begin = hostBegin->begin;
    const std::size_t end = std::prev(hostEnd)->end;
    return std::string(value.substr(begin, end - begin));
}

std::optional<std::string> normalizeHostAscii(std::string_view text) {
    constexpr std::string_view whiteSpace = " \t\n\v\f\r";
    constexpr auto npos = std::string_view::npos;

    const auto first = text.find_first_not_of(whiteSpace);
    if (first == npos)
        return std::nullopt;
    std::string lowered(text.substr(first, text.find_last_not_of(whiteSpace) - first + 1));
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }

    std::string_view value = lowered;
    if (const auto mark = value.find(kSchemeMark); mark != npos)
        value.remove_prefix(mark + kSchemeMark.size());
    value = value.substr(0, value.find('/'));
    if (const auto piece = value.find_first_not_of(':'); piece != npos) {
        const auto pieceEnd = value.find(':', piece);
        value = value.substr(piece, pieceEnd == npos ? npos : pieceEnd - piece);
    }

    const auto lastEnd = value.find_last_not_of('.');
    if (lastEnd == npos)
        return std::nullopt;
    const auto lastDot = value.find_last_of('.', lastEnd);
    if (lastDot == npos || value.substr(0, lastDot).find_first_not_of('.') == npos)
        return std::nullopt;
    const std::string_view lastLabel = value.substr(lastDot + 1, lastEnd - lastDot);
    if (!std::all_of(lastLabel.begin(), lastLabel.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        return std::nullopt;
    return std::string(value);
}

} // namespace detail

std::optional<std::string> normalizeHost(std::optional<std::string_view> text) {
    if (!text)
        return std::nullopt;
    return isAscii(*text) ? detail::normalizeHostAscii(*text) : detail::normalizeHostUnicode(*text);
}

} // namespace orvo
