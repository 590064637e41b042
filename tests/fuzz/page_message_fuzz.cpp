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
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace {

using orvo::fuzz::framedAsObject;
using orvo::testing::FakePlatform;

// Set-up byte.
constexpr std::uint8_t kHasStatusItem = 1;
constexpr std::uint8_t kStatusItemHasButton = 2;
constexpr std::uint8_t kHasWindow = 4;
constexpr std::uint8_t kHasWebView = 8;
// Control byte of a message.
constexpr std::uint8_t kBodyAbsent = 1;
constexpr std::uint8_t kNameFromInput = 2;

// Enough for every mix of message kinds while keeping each run short.
constexpr int kMaxMessages = 16;

[[noreturn]] void fail(const char* what, const orvo::ScriptMessage& message, const orvo::testing::Log& log) {
    std::fprintf(stderr, "%s\n  name [%s], body %s (%zu bytes)\n", what, message.name.c_str(),
                 message.body ? "present" : "absent", message.body ? message.body->size() : 0);
    for (const std::string& entry : log)
        std::fprintf(stderr, "  effect: %s\n", entry.c_str());
    std::abort();
}

class Reader {
public:
    explicit Reader(std::string_view input) : rest_(input) {}

    bool empty() const { return rest_.empty(); }

    std::uint8_t byte() {
        if (rest_.empty())
            return 0;
        const auto value = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }

    std::string text() {
        std::string out;
        while (!rest_.empty()) {
            const char c = rest_.front();
            rest_.remove_prefix(1);
            if (c == '\\' && !rest_.empty()) {
                const char next = rest_.front();
                rest_.remove_prefix(1);
                if (next != '\\')
                    break;
            }
            out += c;
        }
        return out;
    }

private:
    std::string_view rest_;
};

std::optional<std::string_view> payloadAfter(std::string_view body, std::string_view prefix) {
    if (body.size() < prefix.size() || body.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    return body.substr(prefix.size());
}

struct Run {
    FakePlatform platform;
    std::shared_ptr<orvo::testing::FakeWindow> window;
    std::shared_ptr<orvo::testing::FakeWebView> webView;
    orvo::Bridge bridge{platform};
    bool statusItemWithButton = false;
    std::set<std::string> identifiers;

    explicit Run(std::uint8_t setup) {
        bridge.setHostSource([] { return std::optional<std::string>("tenant.example"); });
        if (setup & kHasWindow) {
            window = std::make_shared<orvo::testing::FakeWindow>(platform.log);
            bridge.setWindow(window);
        }
        if (setup & kHasWebView) {
            webView = std::make_shared<orvo::testing::FakeWebView>(platform.log);
            bridge.setWebView(webView);
        }
        if (setup & kHasStatusItem) {
            platform.statusItemHasButton = (setup & kStatusItemHasButton) != 0;
            bridge.setupStatusItem();
            statusItemWithButton = platform.statusItemHasButton;
        }
    }

    void checkPost(const orvo::ScriptMessage& message, bool isCall, std::string_view expectedBody) {
        const auto& log = platform.log;
        if (platform.center.requests.size() != 1)
            fail("a post was expected, exactly one", message, log);
        const orvo::NotificationRequest& request = platform.center.requests.front();
        if (!identifiers.insert(request.identifier).second)
            fail("a post reuses an earlier identifier", message, log);
        const orvo::NotificationContent& content = request.content;
        if (isCall) {
            if (content.title != orvo::kCallTitle)
                fail("a call post is not titled \"Incoming call\"", message, log);
            if (content.body != expectedBody)
                fail("a call post does not carry the caller", message, log);
            if (content.categoryIdentifier != orvo::kCallCategoryIdentifier)
                fail("a call post lacks the call category", message, log);
            if (content.sound != orvo::NotificationSound::defaultCriticalSound)
                fail("a call post lacks the critical sound", message, log);
        } else {
            if (content.categoryIdentifier)
                fail("a notify post carries a category", message, log);
            if (content.sound != orvo::NotificationSound::defaultSound)
                fail("a notify post has another than the default sound", message, log);
        }
    }

    void deliver(const orvo::ScriptMessage& message) {
        platform.log.clear();
        platform.center.requests.clear();
        try {
            bridge.didReceiveScriptMessage(message);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "exception: %s\n", e.what());
            fail("an exception escaped the message handler", message, platform.log);
        } catch (...) {
            fail("an exception escaped the message handler", message, platform.log);
        }
        const auto& log = platform.log;

        if (message.name != orvo::kMessageHandlerName || !message.body) {
            if (!log.empty())
                fail("an ignored message had an effect", message, log);
            return;
        }
        const std::string_view body = *message.body;
        if (auto payload = payloadAfter(body, orvo::kStatusPrefix)) {
            const std::string toolTip = std::string(orvo::kToolTipPrefix) + std::string(*payload);
            if (!statusItemWithButton) {
                if (!log.empty())
                    fail("a status message had an effect without a status button", message, log);
                return;
            }
            if (log.size() != 1 || log.front() != "status.setToolTip " + toolTip ||
                platform.statusItem->toolTip != toolTip)
                fail("a status message did not set exactly the prefixed tooltip", message, log);
            if (platform.statusItem->toolTip.rfind(orvo::kToolTipPrefix, 0) != 0)
                fail("a tooltip does not start with the prefix", message, log);
        } else if (auto payload = payloadAfter(body, orvo::kCallPrefix)) {
            checkPost(message, true, payload->empty() ? orvo::kUnknownCaller : *payload);
            const std::size_t expected = window ? 3 : 2;
            if (log.size() != expected || log[0].rfind("center.add ", 0) != 0 ||
                (window && log[1] != "window.front") || log.back() != "app.activate page")
                fail("a call message did not post, then bring the window to the front", message, log);
        } else if (auto payload = payloadAfter(body, orvo::kNotifyPrefix)) {
            if (log.empty())
                return;
            checkPost(message, false, {});
            if (log.size() != 1)
                fail("a notify message had more than one effect", message, log);
            if (!framedAsObject(*payload))
                fail("a notify payload that is no object was posted", message, log);
        } else if (!log.empty()) {
            fail("a message without a known prefix had an effect", message, log);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    Run run(reader.byte());
    for (int i = 0; i < kMaxMessages && !reader.empty(); ++i) {
        const std::uint8_t control = reader.byte();
        orvo::ScriptMessage message;
        // Every message comes from the tenant's own page; who may speak is a
        // unit test's table.
        message.frameOrigin = orvo::Url{"https://tenant.example", "https", "tenant.example"};
        message.name = (control & kNameFromInput) ? reader.text() : std::string(orvo::kMessageHandlerName);
        std::string body = reader.text();
        if (!(control & kBodyAbsent))
            message.body = std::move(body);
        run.deliver(message);
    }
    return 0;
}
