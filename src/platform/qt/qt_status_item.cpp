#include "platform/qt/qt_status_item.h"

#include "platform/qt/qt_application.h"
#include "platform/qt/qt_conversions.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include <map>
#include <utility>

namespace orvo::qt {

namespace {

// Symbol names the shell asks for, with the freedesktop icon names that show
// the same thing; the first one the icon theme has wins.
const std::map<std::string, QStringList>& themeNamesForSymbols() {
    static const std::map<std::string, QStringList> names{
        {"phone.circle.fill", {QStringLiteral("call-start"), QStringLiteral("phone")}},
    };
    return names;
}

class QtStatusItem : public StatusItem {
public:
    explicit QtStatusItem(bool statusNotifier)
        : statusNotifier_(statusNotifier), icon_(std::make_unique<QSystemTrayIcon>()) {
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                         [this](QSystemTrayIcon::ActivationReason reason) { onActivated(reason); });
    }

    ~QtStatusItem() override {
        icon_->hide();
        icon_->setContextMenu(nullptr);
    }

    QtStatusItem(const QtStatusItem&) = delete;
    QtStatusItem& operator=(const QtStatusItem&) = delete;

    bool setImage(const std::string& symbolName, const std::string&) override {
        QIcon icon;
        const auto& symbols = themeNamesForSymbols();
        if (const auto found = symbols.find(symbolName); found != symbols.end()) {
            for (const QString& name : found->second) {
                if (QIcon::hasThemeIcon(name)) {
                    icon = QIcon::fromTheme(name);
                    break;
                }
            }
            if (icon.isNull()) {
                icon = bundledPhoneIcon();
            }
        }
        if (icon.isNull() || icon.pixmap(22, 22).isNull()) {
            icon_->setIcon(QIcon());
            icon_->hide();
            return false;
        }
        icon_->setIcon(icon);
        icon_->show();
        return true;
    }

    void setToolTip(const std::string& toolTip) override {
        const QString text = toBusString(toolTip);
        // The old X11 tray shows the tooltip as a widget tooltip, which takes
        // anything that looks like markup for markup. A status is text, so
        // there it goes in as text written out in markup.
        icon_->setToolTip(statusNotifier_ ? text : Qt::convertFromPlainText(text, Qt::WhiteSpacePre));
    }

    void setMenu(std::vector<MenuItem> items) override {
        auto menu = std::make_unique<QMenu>();
        for (MenuItem& item : items) {
            if (item.separator) {
                menu->addSeparator();
                continue;
            }
            QAction* action = menu->addAction(toBusString(item.title));
            if (!item.keyEquivalent.empty()) {
                action->setShortcut(
                    QKeySequence(QStringLiteral("Ctrl+") + toBusString(item.keyEquivalent).toUpper()));
            }
            QObject::connect(action, &QAction::triggered, action, [run = std::move(item.action)] {
                guarded("running a tray menu entry", [&] {
                    if (run)
                        run();
                });
            });
        }
        icon_->setContextMenu(menu.get());
        // The old menu may be the one whose action is running right now.
        if (menu_) {
            menu_.release()->deleteLater();
        }
        menu_ = std::move(menu);
    }

private:
    // A click on the item opens its menu, as a status bar item does.
    void onActivated(QSystemTrayIcon::ActivationReason reason) {
        guarded("opening the tray menu", [&] {
            if (reason == QSystemTrayIcon::Trigger && menu_)
                menu_->popup(QCursor::pos());
        });
    }

    bool statusNotifier_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QMenu> menu_;
};

// Whether Qt shows the tray item over StatusNotifierItem rather than the old
// X11 tray: it does so when a watcher runs that has a host registered.
bool statusNotifierHostRegistered(QDBusConnection& bus) {
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (!bus.interface()->isServiceRegistered(watcher))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

} // namespace

QIcon bundledPhoneIcon() {
    QIcon drawing(QStringLiteral(":/orvo/icons/orvo-phone.svg"));
    if (!drawing.pixmap(22, 22).isNull())
        return drawing;
    return QIcon(QStringLiteral(":/orvo/icons/orvo-phone.png"));
}

std::unique_ptr<StatusItem> createStatusItem() {
    // Qt picks the StatusNotifierItem protocol or the old X11 tray once, at
    // the first tray query, and never again. Ask the session bus first so that
    // this choice is made against a settled answer about the watcher.
    bool statusNotifier = false;
    if (QDBusConnection bus = QDBusConnection::sessionBus(); bus.isConnected() && bus.interface()) {
        statusNotifier = statusNotifierHostRegistered(bus);
    }
    return std::make_unique<QtStatusItem>(statusNotifier);
}

} // namespace orvo::qt
