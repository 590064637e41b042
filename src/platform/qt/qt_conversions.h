// The one place where the core's values become Qt's and back. The core's
// text is UTF-8 in std::string; its addresses are `Url`s whose host is in
// ASCII form, as the engine and the site rule compare it.
#pragma once

#include "platform/platform.h"

#include <QString>
#include <QUrl>

#include <optional>
#include <string>
#include <string_view>

namespace orvo::qt {

inline QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Text for a D-Bus string, which cannot carry NUL: the text around it must
// still show rather than be cut short or refused by the receiver.
inline QString toBusString(std::string_view text) {
    QString result = toQString(text);
    result.replace(QChar(u'\0'), QChar(QChar::ReplacementCharacter));
    return result;
}

// The address as the core sees it; nothing for an empty or invalid one.
// `text` is what the core keeps as the address's spelling, the URL's own
// encoded form unless the caller has the original.
inline std::optional<Url> toUrl(const QUrl& url, std::optional<std::string> text = std::nullopt) {
    if (url.isEmpty() || !url.isValid())
        return std::nullopt;
    return Url{text ? std::move(*text) : url.toString(QUrl::FullyEncoded).toStdString(),
               url.scheme().toStdString(), url.host(QUrl::FullyEncoded).toStdString()};
}

// The core's address for Qt, read strictly: an address the core would not
// have formed is invalid here rather than repaired.
inline QUrl toQUrl(const Url& url) {
    return QUrl(toQString(url.text), QUrl::StrictMode);
}

} // namespace orvo::qt
