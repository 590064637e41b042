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
// post to the registered handlers, in order. Also installs the user scripts.
//
// Each posted value travels as one console line from the injected script; the
// line starts with a prefix that is private to this run and must come from the
// injected script's own source, so a page's console output is never mistaken
// for a message.
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
