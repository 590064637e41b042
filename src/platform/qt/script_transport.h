#pragma once

#include "platform/platform.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QWebEnginePage>
#include <QWebEngineScript>

#include <optional>
#include <string>
#include <vector>

namespace orvo::qt {

// Gives every frame of a page the message handler object that pages expect
// (window.webkit.messageHandlers.<name>.postMessage) and carries what they
// post to the registered handlers, in order, with the posting frame's origin.
// Also installs the user scripts.
//
// A post leaves the page's script world as a DOM event and is written out as
// one console line by a script in an isolated world, which adds the origin
// it sees itself. The line starts with a prefix that is private to this run
// and lives only in that isolated world, so neither a page's console output
// nor a page that forges everything it can see passes for a message or for
// another frame's origin.
class ScriptTransport : public QObject {
    Q_OBJECT
public:
    explicit ScriptTransport(QWebEnginePage* page);

    void addScriptMessageHandler(ScriptMessageHandler& handler, const std::string& name);
    void addUserScript(const std::string& source, UserScriptInjectionTime time, bool forMainFrameOnly);

    // The page forwards its console messages here; returns true when the
    // message was the transport's own and must not be treated as a log line.
    bool handleConsoleMessage(QWebEnginePage::JavaScriptConsoleMessageLevel level, const QString& message,
                              int lineNumber, const QString& sourceID);

    // The name under which the transport's own script runs in every frame.
    static const QString& transportScriptName();

signals:
    // A document of `origin` (as the engine serialises it) came or went.
    void documentPresence(const QString& origin, bool present);

private:
    struct Handler {
        std::string name;
        ScriptMessageHandler* handler;
    };

    void installScripts();
    void deliver(QStringView encoded);

    QWebEnginePage* page_;
    QString linePrefix_;
    std::vector<Handler> handlers_;
    QList<QWebEngineScript> userScripts_;
    QList<QWebEngineScript> installed_;
};

} // namespace orvo::qt
