#include "platform/qt/qt_alert.h"

#include "platform/qt/qt_application.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvo::qt {

AlertResult runModalAlert(const AlertContent& content) {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("ORVO"));
    dialog.setWindowModality(Qt::ApplicationModal);
    // The prompt comes before any other window; dismissing it is an answer,
    // not the end of the application.
    dialog.setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(&dialog);
    auto* message = new QLabel(QString::fromStdString(content.messageText), &dialog);
    message->setTextFormat(Qt::PlainText);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    layout->addWidget(message);

    auto* informative = new QLabel(QString::fromStdString(content.informativeText), &dialog);
    informative->setTextFormat(Qt::PlainText);
    layout->addWidget(informative);

    auto* field = new QLineEdit(&dialog);
    field->setPlaceholderText(QString::fromStdString(content.textFieldPlaceholder));
    if (content.textFieldFrame.width > 0 && content.textFieldFrame.height > 0)
        field->setFixedSize(content.textFieldFrame.width, content.textFieldFrame.height);
    layout->addWidget(field);

    // The buttons keep the order they were given in, right-aligned; closing
    // the dialog any other way answers with the last one.
    const int buttonCount = static_cast<int>(content.buttonTitles.size());
    int chosen = buttonCount > 0 ? buttonCount - 1 : 0;
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (int i = 0; i < buttonCount; ++i) {
        auto* button =
            new QPushButton(QString::fromStdString(content.buttonTitles[static_cast<size_t>(i)]), &dialog);
        button->setAutoDefault(false);
        if (i == 0)
            button->setDefault(true);
        QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, &chosen, i] {
            chosen = i;
            dialog.done(QDialog::Accepted);
        });
        buttons->addWidget(button);
    }
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    field->setFocus();
    dialog.show();
    raiseAndActivate(dialog, ActivationCause::user);
    if (dialog.exec() != QDialog::Accepted)
        chosen = buttonCount > 0 ? buttonCount - 1 : 0;

    return AlertResult{kAlertFirstButtonReturn + chosen, field->text().toStdString()};
}

} // namespace orvo::qt
