#pragma once

#include "platform/diagnostics.h"

#include <QLoggingCategory>

namespace orvo::qt {

// One logging category per topic, orvo.<topic>, all off by default:
// QT_LOGGING_RULES="orvo.*=true" turns them on.
const QLoggingCategory& loggingCategory(DiagnosticTopic topic);

// Routes the core's explanations into those categories for as long as it lives.
class LoggingDiagnostics : public DiagnosticSink {
public:
    LoggingDiagnostics() { installDiagnosticSink(this); }
    ~LoggingDiagnostics() override { installDiagnosticSink(nullptr); }
    LoggingDiagnostics(const LoggingDiagnostics&) = delete;
    LoggingDiagnostics& operator=(const LoggingDiagnostics&) = delete;

    bool wants(DiagnosticTopic topic) const override;
    void write(DiagnosticTopic topic, const std::string& line) override;
};

} // namespace orvo::qt
