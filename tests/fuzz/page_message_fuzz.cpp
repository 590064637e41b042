// Drives a real Bridge, wired to the recording fakes of the unit tests, with
// a run of arbitrary page messages and checks what each one makes it do to
// the desktop. The expected effect of a message is worked out here from its
// name and body alone, so a fault in the dispatch cannot hide behind itself.
//
// Input layout: one set-up byte, then messages until the input ends. A
// message is a control byte, a handler name when the control byte asks for
// one, and a body. Names and bodies end at a backslash followed by any other
// byte; two backslashes stand for one, and the last body runs to the end.
#include "bridge/bridge.h"
#include "bridge/page_messages.h"
#include "fakes.h"
#include "fuzz_checks.h"
#include "notifications/notifications.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace {

using orvo::testing::FakePlatform;

// Set-up byte: which parts of the desktop exist. Control byte of a message:
// bit 1 leaves the body out, bit 2 reads a handler name from the input.
constexpr std::uint8_t kHasStatusItem = 1, kHasWindow = 4, kHasWebView = 8;
// Enough for every mix of message kinds while keeping each run short.
constexpr int kMaxMessages = 16;

[[noreturn]] void fail(const char* what, const orvo::ScriptMessage& message, const orvo::testing::Log& log) {
    std::fprintf(stderr, "%s\n  name [%s], body %s (%zu bytes)\n", what, message.name.c_str(),
                 message.body ? "present" : "absent", message.body ? message.body->size() : 0);
    for (const std::string& entry : log)
        std::fprintf(stderr, "  effect: %s\n", entry.c_str());
    std::abort();
}

// Reads a text up to a backslash followed by any other byte; two backslashes stand for one.
std::string readText(std::string_view& rest) {
    std::string out;
    while (!rest.empty()) {
        const char c = rest.front();
        rest.remove_prefix(1);
        if (c == '\\' && !rest.empty()) {
            const char next = rest.front();
            rest.remove_prefix(1);
            if (next != '\\')
                break;
        }
        out += c;
    }
    return out;
}

std::optional<std::string_view> payloadAfter(std::string_view body, std::string_view prefix) {
    return body.substr(0, prefix.size()) == prefix ? std::optional(body.substr(prefix.size())) : std::nullopt;
}

struct Run {
    FakePlatform platform;
    std::shared_ptr<orvo::testing::FakeWindow> window;
    std::shared_ptr<orvo::testing::FakeWebView> webView;
    orvo::Bridge bridge{platform};
    bool withStatusItem = false;
    std::set<std::string> identifiers;

    explicit Run(std::uint8_t setup) {
        bridge.setHostSource([] { return std::optional<std::string>("tenant.example"); });
        if (setup & kHasWindow)
            bridge.setWindow(window = std::make_shared<orvo::testing::FakeWindow>(platform.log));
        if (setup & kHasWebView)
            bridge.setWebView(webView = std::make_shared<orvo::testing::FakeWebView>(platform.log));
        if (setup & kHasStatusItem) {
            withStatusItem = true;
            bridge.setupStatusItem();
        }
    }

    // One post, of a fresh identifier, with the call's or the plain shape.
    void checkPost(const orvo::ScriptMessage& message, std::optional<std::string_view> caller) {
        const auto& log = platform.log;
        if (platform.requests.size() != 1)
            fail("a post was expected, exactly one", message, log);
        const orvo::NotificationRequest& request = platform.requests.front();
        if (!identifiers.insert(request.identifier).second)
            fail("a post reuses an earlier identifier", message, log);
        const orvo::NotificationContent& content = request.content;
        const bool isCall = caller.has_value();
        if (isCall && (content.title != orvo::kCallTitle || content.body != *caller))
            fail("a call post is not titled \"Incoming call\" with the caller as body", message, log);
        if ((content.categoryIdentifier == orvo::kCallCategoryIdentifier) != isCall ||
            (content.sound == orvo::NotificationSound::defaultCriticalSound) != isCall)
            fail("a post has the wrong category or sound for its kind", message, log);
    }

    void deliver(const orvo::ScriptMessage& message) {
        platform.log.clear();
        platform.requests.clear();
        // An exception escaping the handler ends the run as a crash.
        bridge.didReceiveScriptMessage(message);
        const auto& log = platform.log;
        // Another handler's message, or one without text, must have no effect at all.
        const bool handled = message.name == orvo::kMessageHandlerName && message.body;
        const std::string_view body = handled ? std::string_view(*message.body) : std::string_view();
        if (auto payload = payloadAfter(body, orvo::kStatusPrefix)) {
            const std::string toolTip = std::string(orvo::kToolTipPrefix) + std::string(*payload);
            if (log != (withStatusItem ? orvo::testing::Log{"tooltip " + toolTip} : orvo::testing::Log{}))
                fail("a status message did not set exactly the prefixed tooltip", message, log);
        } else if (auto payload = payloadAfter(body, orvo::kCallPrefix)) {
            checkPost(message, payload->empty() ? orvo::kUnknownCaller : *payload);
            if (log.size() != (window ? 3u : 2u) || (window && log[1] != "front") ||
                log.back() != "activate page")
                fail("a call message did not post, then bring the window to the front", message, log);
        } else if (auto payload = payloadAfter(body, orvo::kNotifyPrefix)) {
            if (log.empty())
                return;
            checkPost(message, std::nullopt);
            if (log.size() != 1 || !orvo::fuzz::framedAsObject(*payload))
                fail("a notify message had another effect than one post of an object", message, log);
        } else if (!log.empty()) {
            fail("an ignored message had an effect", message, log);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const auto byte = [&] {
        const auto value = rest.empty() ? 0 : static_cast<std::uint8_t>(rest.front());
        rest.remove_prefix(rest.empty() ? 0 : 1);
        return value;
    };
    Run run(byte());
    for (int i = 0; i < kMaxMessages && !rest.empty(); ++i) {
        const std::uint8_t control = byte();
        // Every message comes from the tenant's own page; who may speak is a
        // unit test's table.
        orvo::ScriptMessage message{std::string(orvo::kMessageHandlerName), std::nullopt,
                                    orvo::Url{"https://tenant.example", "https", "tenant.example"}};
        if (control & 2)
            message.name = readText(rest);
        std::string body = readText(rest);
        if (!(control & 1))
            message.body = std::move(body);
        run.deliver(message);
    }
    return 0;
}
