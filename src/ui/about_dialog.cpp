#include "ui/about_dialog.h"

#include <QIcon>
#include <QKeyEvent>
#include <QLabel>

#include "ui/dialog_units.h"
#include "ui/window_texts.h"

namespace brindle {

CAboutDialog::CAboutDialog(const QIcon& icon, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kAboutTitlePrefix) + QString::fromUtf8(kAppTitle));
    const DialogUnits du(*this);
    setFixedSize(du.Size(267, 81));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("aboutIcon"));
    const QRect iconRect = du.Rect(10, 10, 20, 20);
    picture->setGeometry(iconRect);
    picture->setPixmap(icon.pixmap(iconRect.size()));

    auto* title = new QLabel(QString::fromUtf8(kAppTitle), this);
    title->setObjectName(QStringLiteral("aboutTitle"));
    title->setGeometry(du.Rect(55, 5, 80, 10));

    auto* line = new QLabel(QString::fromUtf8(kAboutLine), this);
    line->setGeometry(du.Rect(55, 20, 200, 10));
}

void CAboutDialog::keyPressEvent(QKeyEvent* event) {
    // Without a default button the dialog would ignore Enter; here it closes.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace brindle
