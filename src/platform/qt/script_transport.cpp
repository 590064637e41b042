#include "platform/qt/script_transport.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_conversions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QUrl>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>

#include <string_view>

namespace orvo::qt {

extern const std::string_view kMessageTransportScript;
extern const std::string_view kMessageCarrierScript;

namespace {

// The name shows up as the console line's source id ("userscript:<name>").
const QString kUserScriptPrefix = QStringLiteral("userscript:");

QString randomToken() {
    QString token;
    for (int i = 0; i < 2; ++i) {
        token += QString::number(QRandomGenerator::system()->generate64(), 16).rightJustified(16, u'0');
    }
    return token;
}

// UTF-8 for well-formed text; a lone surrogate becomes its 3-byte form
// (WTF-8), which strict UTF-8 readers reject, instead of being replaced by
// something else in silence.
std::string toWtf8(const QString& text) {
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t cp = text[i].unicode();
        if (QChar::isHighSurrogate(cp) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(static_cast<char16_t>(cp), text[i + 1].unicode());
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

QWebEngineScript makeScript(const QString& name, const QString& source,
                            QWebEngineScript::InjectionPoint injectionPoint, bool subFrames,
                            quint32 world = QWebEngineScript::MainWorld) {
    QWebEngineScript script;
    script.setName(name);
    script.setSourceCode(source);
    script.setInjectionPoint(injectionPoint);
    script.setWorldId(world);
    script.setRunsOnSubFrames(subFrames);
    return script;
}

// A call of `function` with the members of `arguments` as its arguments.
QString callOf(std::string_view function, const QJsonArray& arguments) {
    const QString list = QString::fromUtf8(QJsonDocument(arguments).toJson(QJsonDocument::Compact));
    // Dropping the array's brackets leaves the argument list.
    return toQString(function) + u'(' + list.mid(1, list.size() - 2) + QStringLiteral(");\n");
}

// The name of the DOM event that carries posts from the page's world to the
// isolated one. It is no secret: a page that sends it itself only posts.
const QString kPostEventName = QStringLiteral("orvo-message-transport");

// The script world of the carrier: not the page's (0), so that page scripts
// share none of its objects.
constexpr quint32 kCarrierWorld = QWebEngineScript::ApplicationWorld;

// The frame's origin as the engine serialises it ("https://host[:port]"),
// or nothing for an opaque one ("null").
std::optional<Url> originOf(const QString& serialized) {
    const QUrl url(serialized, QUrl::StrictMode);
    if (serialized == QLatin1String("null") || url.host().isEmpty())
        return std::nullopt;
    return toUrl(url, serialized.toStdString());
}

} // namespace

const QString& ScriptTransport::transportScriptName() {
    static const QString name = QStringLiteral("orvo-message-transport");
    return name;
}

static const QString& stubScriptName() {
    static const QString name = QStringLiteral("orvo-message-handlers");
    return name;
}

// The source id alone does not prove a line is ours: a page can name its own
// eval'd code "userscript:..." with a sourceURL comment. The random part of
// the prefix is what a page cannot produce, since it never sees it.
ScriptTransport::ScriptTransport(QWebEnginePage* page)
    : QObject(page), page_(page), linePrefix_(QStringLiteral("orvo-transport-") + randomToken() + u':') {}

void ScriptTransport::addScriptMessageHandler(ScriptMessageHandler& handler, const std::string& name) {
    for (auto& entry : handlers_) {
        if (entry.name == name) {
            entry.handler = &handler;
            return;
        }
    }
    handlers_.push_back({name, &handler});
    installScripts();
}

void ScriptTransport::addUserScript(const std::string& source, UserScriptInjectionTime time,
                                    bool forMainFrameOnly) {
    const auto point = time == UserScriptInjectionTime::atDocumentStart ? QWebEngineScript::DocumentCreation
                                                                        : QWebEngineScript::DocumentReady;
    const QString name = QStringLiteral("orvo-user-script-%1").arg(userScripts_.size() + 1);
    userScripts_.append(makeScript(name, toQString(source), point, !forMainFrameOnly));
    installScripts();
}

// The transport script must come first so that the message handlers exist
// before any other script of the document runs; a collection keeps the
// order of insertion, so everything is inserted again in that order.
//
// The scripts go into two collections. Qt 6.8 does not inject the page's
// collection into frames that run in a process of their own (site
// isolation), and the profile's collection is not injected into a renderer
// that replaces a crashed one; with both, every frame gets them at least
// once. Each script is harmless when it runs twice in one document: the
// carrier and the page bridge return early, the stub's second definition
// fails quietly.
void ScriptTransport::installScripts() {
    QWebEngineScriptCollection* collections[] = {&page_->scripts(), page_->profile()->scripts()};
    for (QWebEngineScriptCollection* scripts : collections) {
        for (const QWebEngineScript& script : std::as_const(installed_)) {
            scripts->remove(script);
        }
    }
    installed_.clear();

    QJsonArray names;
    for (const auto& entry : handlers_) {
        names.append(toQString(entry.name));
    }
    installed_.append(makeScript(transportScriptName(),
                                 callOf(kMessageCarrierScript, QJsonArray{kPostEventName, linePrefix_}),
                                 QWebEngineScript::DocumentCreation, /*subFrames=*/true, kCarrierWorld));
    installed_.append(makeScript(stubScriptName(),
                                 callOf(kMessageTransportScript, QJsonArray{names, kPostEventName}),
                                 QWebEngineScript::DocumentCreation, /*subFrames=*/true));
    installed_.append(userScripts_);
    for (QWebEngineScriptCollection* scripts : collections) {
        scripts->insert(installed_);
    }
}

bool ScriptTransport::handleConsoleMessage(QWebEnginePage::JavaScriptConsoleMessageLevel,
                                           const QString& message, int, const QString& sourceID) {
    if (!message.startsWith(linePrefix_) || sourceID != kUserScriptPrefix + transportScriptName()) {
        return false;
    }
    // A handler that throws loses its message; the event loop must not see it.
    guarded("delivering a page message", [&] { deliver(QStringView(message).mid(linePrefix_.size())); });
    return true;
}

void ScriptTransport::deliver(QStringView encoded) {
    // The scripts escape controls and lone surrogates, so both layers are
    // plain JSON text, and Qt's reader keeps both as they were sent. The outer
    // layer is the carrier's: [frame origin, posted text]; the posted text is
    // the stub's: [name, body or null].
    const QJsonArray line = QJsonDocument::fromJson(encoded.toUtf8()).array();
    if (line.size() == 2 && line[0].isString() && line[1].isDouble()) {
        emit documentPresence(line[0].toString(), line[1].toInt() != 0);
        return;
    }
    if (line.size() != 2 || !line[0].isString() || !line[1].isString())
        return;
    const QJsonArray fields = QJsonDocument::fromJson(line[1].toString().toUtf8()).array();
    if (fields.size() != 2 || !fields[0].isString() || !(fields[1].isString() || fields[1].isNull()))
        return;
    ScriptMessage message{toWtf8(fields[0].toString()), std::nullopt, originOf(line[0].toString())};
    if (fields[1].isString())
        message.body = toWtf8(fields[1].toString());
    for (const auto& entry : handlers_) {
        if (entry.name == message.name) {
            entry.handler->didReceiveScriptMessage(message);
            return;
        }
    }
}

} // namespace orvo::qt
