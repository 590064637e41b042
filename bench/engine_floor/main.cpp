// The least Qt WebEngine program: one view showing the page named on the
// command line, with nothing of ORVO's (no scripts, no tray, no policies).
// The benchmark measures it beside ORVO to show what the engine costs on its
// own. Given a folder as well, it keeps a profile on disk there, as ORVO keeps
// one in the user's data folder; otherwise it uses Qt's default profile, which
// keeps nothing. Like ORVO it trusts the certificates of the user's NSS
// database ($HOME/.pki/nssdb), which is where the engine looks by itself.
#include <QApplication>
#include <QStringList>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2 || arguments.size() > 3) {
        qCritical("usage: engine-floor URL [PROFILE-FOLDER]");
        return 2;
    }
    // Declared before the view, so that the view's page goes before its
    // profile, as the engine requires.
    std::unique_ptr<QWebEngineProfile> profile;
    if (arguments.size() == 3) {
        profile = std::make_unique<QWebEngineProfile>(QStringLiteral("floor"));
        profile->setPersistentStoragePath(arguments[2] + QStringLiteral("/storage"));
        profile->setCachePath(arguments[2] + QStringLiteral("/cache"));
    }
    QWebEngineView view;
    if (profile)
        view.setPage(new QWebEnginePage(profile.get(), &view));
    // ORVO's first window has this size, so both lay out and paint as much.
    view.resize(1200, 800);
    view.load(QUrl(arguments[1]));
    view.show();
    return QApplication::exec();
}
