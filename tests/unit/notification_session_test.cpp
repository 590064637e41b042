#include "notifications/notification_session.h"
#include "notifications/notifications.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <map>
#include <sstream>

namespace orvo::freedesktop {
namespace {

using Strings = std::vector<std::string>;

// The bus, the sound player and the delegate in one, writing to one log.
struct Fakes : NotificationBus, SoundPlayer, NotificationCenterDelegate {
    void getCapabilities(Ticket t) override {
        questions.push_back(t);
        log.push_back("capabilities");
    }
    void notify(const NotifyArguments& args, Ticket t) override {
        notifies.push_back(t);
        log.push_back("notify " + args.summary);
        for (std::size_t i = 0; i < args.actions.size(); i += 2)
            log.back() += " " + args.actions[i];
    }
    void closeNotification(std::uint32_t id) override { log.push_back("close " + std::to_string(id)); }
    void withActivationToken(const std::string& t, const std::function<void()>& respond) override {
        token = t;
        respond();
        token.clear();
    }
    void play(std::uint32_t, const EventSound& sound) override { log.push_back("play " + sound.description); }
    void cancel(std::uint32_t) override { log.push_back("stop"); }
    void didReceiveNotificationResponse(const std::string& action,
                                        const std::function<void()>& done) override {
        log.push_back("response " + action + (token.empty() ? "" : " " + token));
        done();
    }
    Strings log;
    std::string token;
    // The calls' tickets, and how many of them have had their reply.
    std::vector<Ticket> questions, notifies;
    std::size_t answered = 0, replied = 0;
};

const std::string C = "notify C default ANSWER DECLINE";

// Each row plays a conversation with the server, steps apart by "|": an
// operation and its words, repeated N times with "N*" in front (a repeated
// reply counts its id up). The log is written the same way, a run of equal
// lines as one with its count. Servers with "sound" play the sounds themselves.
TEST(NotificationSession, ConversationWithTheServer) {
    const struct {
        const char* name;
        std::string steps, log;
    } rows[] = {
        {"posts wait for the capabilities, asked once", "post A | call C | caps actions sound | post B",
         "capabilities | notify A default | " + C + " | notify B default"},
        {"no server: posts go out plainly, the next asks again", "call C | noServer | post B",
         "capabilities | play C | notify C | capabilities"},
        {"full queue: a call displaces the oldest ordinary, an ordinary is dropped",
         "post old | 255*post A | post late | call C | caps actions sound | mark | 224*reply 1",
         "capabilities | notify A default x32 | -- | notify A default x223 | " + C},
        {"queue full of calls: another call is dropped",
         "256*call C | call late | caps actions sound | 256*reply 1", "capabilities | " + C + " x256"},
        {"a burst: 32 Notify calls out at once, the rest follow the replies in order",
         "post A | caps actions sound | 33*post B | call C | mark | 3*reply 1",
         "capabilities | notify A default | notify B default x31 | -- | notify B default x2 | " + C},
        {"past 256 notifications the oldest id is forgotten",
         "post A | caps actions sound | 256*post A | 257*reply 1 | act 1 default | act 2 default",
         "capabilities | notify A default x257 | response default"},
        {"early action delivered with its Notify reply",
         "call C | caps actions sound | act 7 ANSWER | reply 7",
         "capabilities | " + C + " | response ANSWER | close 7"},
        {"16 early actions kept, the oldest pushed out",
         "2*call C | caps actions sound | act 7 ANSWER | act 8 DECLINE | 15*act 9 default | 2*reply 7",
         "capabilities | " + C + " x2 | response DECLINE | close 8"},
        {"early actions cleared by the last reply or refusal, not held without one",
         "post A | caps actions sound | act 8 default | reply 7 | act 9 default | post B | act 10 default | "
         "refuse | 3*post D | 3*reply 8",
         "capabilities | notify A default | notify B default | notify D default x3"},
        {"Notify reply from a replaced server ignored",
         "call C | caps actions sound | replaced | reply 7 | act 7 ANSWER",
         "capabilities | " + C + " | capabilities"},
        {"capabilities from a replaced server ignored", "post A | replaced | caps actions sound | noServer",
         "capabilities x2 | play A | notify A"},
        {"a server gone takes its sounds and ids; a new one is asked",
         "call C | caps actions | reply 7 | gone | act 7 ANSWER | appeared",
         "capabilities | play C | " + C + " | stop | capabilities"},
        {"key not offered ignored; the click does not settle",
         "post A | caps actions sound | reply 7 | act 7 ANSWER | 2*act 7 default",
         "capabilities | notify A default | response default x2"},
        {"Answer settles: sound stops, closed, a second Answer ignored",
         "call C | caps actions | reply 7 | 2*act 7 ANSWER",
         "capabilities | play C | " + C + " | stop | response ANSWER | close 7"},
        {"closed, then an action ignored", "call C | caps actions | reply 7 | closed 7 | act 7 ANSWER",
         "capabilities | play C | " + C + " | stop"},
        {"token only with its own notification's next action",
         "call C | post A | caps actions sound | 2*reply 7 | token 7 t | act 8 default | 2*act 7 default",
         "capabilities | " + C +
             " | notify A default | response default | response default t | response default"},
        {"token of 1024 kept, of 1025 refused",
         "call C | caps actions sound | reply 7 | token 7 " + std::string(1024, 't') + " | token 7 " +
             std::string(1025, 'u') + " | act 7 ANSWER",
         "capabilities | " + C + " | response ANSWER " + std::string(1024, 't') + " | close 7"},
        {"token for an id not ours refused",
         "call C | caps actions sound | token 7 t | reply 7 | act 7 ANSWER",
         "capabilities | " + C + " | response ANSWER | close 7"},
    };
    for (const auto& row : rows) {
        Fakes f;
        NotificationSession session{f, f, "orvo"};
        session.setCategories({callCategory()});
        session.setDelegate(&f);
        int serial = 0;
        const auto post = [&](const Strings& a, bool isCall) {
            const auto category = isCall ? std::optional(std::string(kCallCategoryIdentifier)) : std::nullopt;
            session.post(
                {std::to_string(++serial), {a.at(0), "", NotificationSound::defaultSound, category}});
        };
        const auto id = [](const Strings& a) { return static_cast<std::uint32_t>(std::stoul(a.at(0))); };
        const std::map<std::string, std::function<void(const Strings&, std::uint32_t)>> ops{
            {"post", [&](auto& a, auto) { post(a, false); }},
            {"call", [&](auto& a, auto) { post(a, true); }},
            {"caps", [&](auto& a, auto) { session.capabilitiesReplied(f.questions.at(f.answered++), a); }},
            {"noServer",
             [&](auto&, auto) { session.capabilitiesReplied(f.questions.at(f.answered++), std::nullopt); }},
            {"reply", [&](auto& a, auto i) { session.notifyReplied(f.notifies.at(f.replied++), id(a) + i); }},
            {"refuse", [&](auto&, auto) { session.notifyFailed(f.notifies.at(f.replied++), "refused"); }},
            {"act", [&](auto& a, auto) { session.actionInvoked(id(a), a.at(1)); }},
            {"token", [&](auto& a, auto) { session.activationToken(id(a), a.at(1)); }},
            {"closed", [&](auto& a, auto) { session.notificationClosed(id(a)); }},
            {"replaced", [&](auto&, auto) { session.serverChanged(true, true); }},
            {"gone", [&](auto&, auto) { session.serverChanged(true, false); }},
            {"appeared", [&](auto&, auto) { session.serverChanged(false, true); }},
            {"mark", [&](auto&, auto) { f.log.push_back("--"); }},
        };
        std::istringstream steps(row.steps);
        for (std::string step; std::getline(steps, step, '|');) {
            std::istringstream words(step);
            std::string op;
            words >> op;
            const Strings args{std::istream_iterator<std::string>(words), {}};
            const std::size_t star = op.find('*') + 1; // 0 without a count
            for (std::uint32_t i = 0, times = star ? std::stoul(op) : 1; i < times; ++i)
                ops.at(op.substr(star))(args, i);
        }
        std::string log;
        for (std::size_t i = 0, n; i < f.log.size(); i += n) {
            for (n = 1; i + n < f.log.size() && f.log[i + n] == f.log[i];)
                ++n;
            log += (i ? " | " : "") + f.log[i] + (n > 1 ? " x" + std::to_string(n) : "");
        }
        EXPECT_EQ(log, row.log) << row.name;
    }
}

} // namespace
} // namespace orvo::freedesktop
