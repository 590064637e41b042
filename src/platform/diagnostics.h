#pragma once

#include <string>
#include <string_view>

namespace orvo {

// ORVO drops bad input where it arrives and says nothing by default. When
// somebody asks (the Qt backend maps each topic to a logging category,
// orvo.<topic>), each drop point says in one line what it dropped and why.
enum class DiagnosticTopic { bridge, navigation, notifications, activation, permissions, settings, failures };

class DiagnosticSink {
public:
    virtual ~DiagnosticSink() = default;
    virtual bool wants(DiagnosticTopic topic) const = 0;
    virtual void write(DiagnosticTopic topic, const std::string& line) = 0;
};

// The sink for the run (none: silence). The backend installs it before the
// launch and removes it before it goes.
void installDiagnosticSink(DiagnosticSink* sink);

// The line is built only when somebody listens, so that a page that floods
// the bridge costs no more than before.
template <typename MakeLine> void explain(DiagnosticTopic topic, MakeLine&& makeLine);

// At most the first 80 characters of a page's text, quoted, with controls
// and invalid UTF-8 escaped: enough to recognise it, never the whole content.
std::string pageExcerpt(std::string_view text);

namespace detail {
DiagnosticSink* diagnosticSink();
}

template <typename MakeLine> void explain(DiagnosticTopic topic, MakeLine&& makeLine) {
    if (DiagnosticSink* sink = detail::diagnosticSink(); sink && sink->wants(topic))
        sink->write(topic, makeLine());
}

} // namespace orvo
