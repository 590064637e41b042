#include "platform/diagnostics.h"

#include <nlohmann/json.hpp>

namespace orvo {

namespace {

DiagnosticSink* sink = nullptr;

constexpr std::size_t kExcerptCharacters = 80;

bool isContinuationByte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

} // namespace

void installDiagnosticSink(DiagnosticSink* newSink) {
    sink = newSink;
}

DiagnosticSink* detail::diagnosticSink() {
    return sink;
}

std::string pageExcerpt(std::string_view text) {
    // Cut after the 80th character, never inside one.
    std::size_t end = 0;
    for (std::size_t characters = 0; end < text.size() && characters < kExcerptCharacters; ++characters) {
        ++end;
        while (end < text.size() && isContinuationByte(static_cast<unsigned char>(text[end])))
            ++end;
    }
    std::string excerpt = nlohmann::json(std::string(text.substr(0, end)))
                              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (end < text.size())
        excerpt += "\u2026";
    return excerpt;
}

} // namespace orvo
