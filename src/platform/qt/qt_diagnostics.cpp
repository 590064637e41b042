#include "platform/qt/qt_diagnostics.h"

#include <QString>

namespace orvo::qt {

namespace {

// Declared with "info" as the least level shown by default and written at
// "debug", so that nothing is printed until a rule asks for it.
Q_LOGGING_CATEGORY(lcBridge, "orvo.bridge", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNavigation, "orvo.navigation", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNotifications, "orvo.notifications", QtInfoMsg)
Q_LOGGING_CATEGORY(lcActivation, "orvo.activation", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPermissions, "orvo.permissions", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "orvo.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFailures, "orvo.failures", QtInfoMsg)

} // namespace

const QLoggingCategory& loggingCategory(DiagnosticTopic topic) {
    switch (topic) {
    case DiagnosticTopic::bridge:
        return lcBridge();
    case DiagnosticTopic::navigation:
        return lcNavigation();
    case DiagnosticTopic::notifications:
        return lcNotifications();
    case DiagnosticTopic::activation:
        return lcActivation();
    case DiagnosticTopic::permissions:
        return lcPermissions();
    case DiagnosticTopic::settings:
        return lcSettings();
    case DiagnosticTopic::failures:
        break;
    }
    return lcFailures();
}

bool LoggingDiagnostics::wants(DiagnosticTopic topic) const {
    return loggingCategory(topic).isDebugEnabled();
}

void LoggingDiagnostics::write(DiagnosticTopic topic, const std::string& line) {
    qCDebug(loggingCategory(topic)).noquote() << QString::fromStdString(line);
}

} // namespace orvo::qt
