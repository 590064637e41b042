// ORVO's entry point on Linux: one instance per user, the Qt platform, the
// application delegate, and a clean quit on SIGTERM, SIGHUP and SIGINT.
#include "app/app_delegate.h"
#include "app/engine_switches.h"
#include "host/host_store.h"
#include "platform/qt/qt_application.h"
#include "platform/qt/qt_diagnostics.h"
#include "platform/qt/qt_platform.h"
#include "platform/qt/qt_status_item.h"
#include "platform/qt/single_instance.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Turns the termination signals into an event on the GUI thread, where the
// application can quit and tear the web engine down in order (which is what
// gets Chromium to write its cookies out).
bool installSignalPipe() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(sig, &action, nullptr);
    return true;
}

// Without a GPU render node, OpenGL would run on the CPU and spend a large part
// of the start compiling shaders; Qt's software scene graph draws the page
// faster and with less memory there. A choice the user made stays.
void preferSoftwareRenderingWithoutGpu() {
    if (qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        return;
    if (QDir(QStringLiteral("/dev/dri")).entryList({QStringLiteral("renderD*")}, QDir::System).isEmpty())
        qputenv("QT_QUICK_BACKEND", "software");
}

// Without a usable HOME, Qt would put settings, site data and cache below
// "/" while the host goes to the home the password database names; one home
// for all of them keeps the user signed in and the settings together.
void settleHome() {
    const QByteArray home = qgetenv("HOME");
    if (!home.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(home)))
        return;
    const std::filesystem::path fromDatabase = orvo::homeDirectory();
    if (!fromDatabase.empty())
        qputenv("HOME", QByteArray(fromDatabase.c_str()));
}

// The program keeps no log, and the engine's start-up banner is no message
// for the user. Whoever asks for Qt's logging gets it all.
void quietEngineBanner() {
    if (!qEnvironmentVariableIsEmpty("QT_LOGGING_RULES") || !qEnvironmentVariableIsEmpty("QT_LOGGING_CONF"))
        return;
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
}

// The arguments for Qt and the engine: ORVO's own, with the engine switches
// that keep the page's timers at full speed. The engine reads its switches
// from QTWEBENGINE_CHROMIUM_FLAGS when that is set, and otherwise from the
// arguments after --webEngineArgs; ours join the ones it reads, so that a
// user's own stay in force. Arguments are preferred, because applications
// that ORVO opens links with would inherit the variable.
class EngineArguments {
public:
    EngineArguments(int argc, char** argv) : values_(argv, argv + argc) {
        static constexpr const char* kFlags = "QTWEBENGINE_CHROMIUM_FLAGS";
        if (qEnvironmentVariableIsSet(kFlags)) {
            qputenv(kFlags,
                    QByteArray::fromStdString(orvo::withUnthrottledTimers(qgetenv(kFlags).toStdString())));
        } else {
            // Qt finds the separator whatever its case.
            const auto separator = std::find_if(
                values_.begin() + (values_.empty() ? 0 : 1), values_.end(), [](const std::string& value) {
                    return QString::fromStdString(value).compare(QLatin1String("--webEngineArgs"),
                                                                 Qt::CaseInsensitive) == 0;
                });
            std::vector<std::string> engine;
            if (separator != values_.end()) {
                engine.assign(separator + 1, values_.end());
                values_.erase(separator + 1, values_.end());
            } else {
                values_.emplace_back("--webEngineArgs");
            }
            for (std::string& value : orvo::withUnthrottledTimers(engine))
                values_.push_back(std::move(value));
        }
        for (std::string& value : values_)
            pointers_.push_back(value.data());
        count_ = static_cast<int>(values_.size());
        pointers_.push_back(nullptr);
    }

    int& count() { return count_; }
    char** values() { return pointers_.data(); }

private:
    std::vector<std::string> values_;
    std::vector<char*> pointers_;
    int count_ = 0;
};

int run(int argc, char** argv) {
    // The desktop shows the application's name where Qt offers no other
    // (the tray item's title, the window class), so it is the product's.
    // Stored files do not follow it: their places are spelt out where they
    // are opened ("Zandoral/Orvo", as earlier versions named them).
    QApplication::setOrganizationName(QStringLiteral("Zandoral"));
    QApplication::setApplicationName(QStringLiteral("ORVO"));
    QApplication::setApplicationDisplayName(QStringLiteral("ORVO"));
    QGuiApplication::setDesktopFileName(QStringLiteral("Zandoral.Orvo"));
    // Installed first, so that a signal at any later point ends the run cleanly.
    const bool haveSignalPipe = installSignalPipe();
    preferSoftwareRenderingWithoutGpu();
    settleHome();
    quietEngineBanner();
    // The desktop's proof that the user asked for this launch; read before
    // Qt starts, which takes the startup id out of the environment.
    const QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
    const QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
    EngineArguments arguments(argc, argv);
    QApplication app(arguments.count(), arguments.values());
    // The window and its dialogs show the app's icon: the installed one when
    // the icon theme has it, else the bundled drawing.
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("Zandoral.Orvo"), orvo::qt::bundledPhoneIcon()));
    // Until the main window is up, no closed window may end the run: the
    // address prompt's answer decides that.
    QApplication::setQuitOnLastWindowClosed(false);

    orvo::qt::SingleInstance instance;
    const QByteArray& launchToken =
        orvo::qt::windowSystem() == orvo::qt::WindowSystem::x11 ? startupId : activationToken;
    if (instance.start(launchToken) == orvo::qt::SingleInstance::Role::secondary)
        return instance.delivered() ? 0 : 1;

    orvo::qt::QtPlatform platform;
    orvo::AppDelegate delegate(platform);

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (haveSignalPipe) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&platform] {
            orvo::qt::guarded("handling a termination signal", [&platform] {
                char buffer[64];
                while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
                }
                platform.application().terminate();
            });
        });
    }
    instance.setRaiseHandler([&delegate](const QString& token) {
        const orvo::qt::ActivationTokenScope tokenScope(token);
        delegate.bridge().openWindow(orvo::ActivationCause::user);
    });

    // A launch that broke off half-way would leave a process without a
    // window; end it and say so instead.
    try {
        delegate.applicationDidFinishLaunching();
    } catch (const std::exception& e) {
        qCDebug(orvo::qt::loggingCategory(orvo::DiagnosticTopic::failures), "launching failed: %s", e.what());
        return 1;
    }
    if (platform.qtApplication().terminateRequested())
        return 0;

    QApplication::setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    // The icons live in a static library, whose resources are not registered
    // on their own.
    Q_INIT_RESOURCE(resources);
    // ORVO keeps no log: why a run ended is told only under orvo.failures.
    orvo::qt::LoggingDiagnostics diagnostics;
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        qCDebug(orvo::qt::loggingCategory(orvo::DiagnosticTopic::failures), "%s", e.what());
    } catch (...) {
        qCDebug(orvo::qt::loggingCategory(orvo::DiagnosticTopic::failures), "unexpected failure");
    }
    return 1;
}
