#include "ui/config_dialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "ui/dialog_units.h"
#include "ui/qt_text.h"
#include "ui/window_texts.h"

namespace brindle {

QStringList SortedConnectionItems() {
    QStringList items;
    for (const char* text : kConnectionSuggestions) {
        items << QString::fromUtf8(text);
    }
    std::stable_sort(items.begin(), items.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    items.prepend(QString());
    return items;
}

CConfigDialog::CConfigDialog(QWidget* parent)
    : QDialog(parent), chooseDirectory_([](QWidget* owner, const QString& start) {
          return QFileDialog::getExistingDirectory(owner, QString::fromUtf8(kSharedDirectoryLabel),
                                                   start);
      }) {
    setWindowTitle(QString::fromUtf8(kConfigDialogTitle));
    const DialogUnits du(*this);
    setFixedSize(du.Size(227, 196));

    // Created in the order the Tab key visits them; the group box comes after
    // the OK button and stays behind the fields.
    ok_ = new QPushButton(QString::fromUtf8(kOkButton), this);
    ok_->setGeometry(du.Rect(15, 170, 195, 14));
    ok_->setDefault(true);
    auto* group = new QGroupBox(QString::fromUtf8(kConfigGroupTitle), this);
    group->setGeometry(du.Rect(5, 5, 215, 185));
    group->lower();

    auto label = [&](const char* text, QRect rect) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setGeometry(rect);
        l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    };
    auto edit = [&](QRect rect) {
        auto* e = new QLineEdit(this);
        e->setGeometry(rect);
        return e;
    };
    label(kServerUrlLabel, du.Rect(15, 20, 75, 8));
    serverUrl_ = edit(du.Rect(15, 30, 195, 12));
    label(kUserNameLabel, du.Rect(15, 50, 80, 8));
    userName_ = edit(du.Rect(15, 60, 195, 12));
    label(kSharedDirectoryLabel, du.Rect(15, 110, 85, 8));
    sharedDirectory_ = edit(du.Rect(15, 120, 150, 12));
    browse_ = new QPushButton(QString::fromUtf8(kBrowseButton), this);
    browse_->setGeometry(du.Rect(170, 119, 40, 14));
    browse_->setAutoDefault(false);
    label(kConnectionLabel, du.Rect(15, 140, 90, 8));
    label(kPasswordLabel, du.Rect(15, 80, 85, 8));
    password_ = edit(du.Rect(15, 90, 195, 12));
    password_->setEchoMode(QLineEdit::Password);

    connection_ = new QComboBox(this);
    connection_->setGeometry(du.X(15), du.Y(150), du.X(195), connection_->sizeHint().height());
    connection_->setEditable(true);
    connection_->setInsertPolicy(QComboBox::NoInsert);
    connection_->setCompleter(nullptr);  // the typed text is taken as typed
    connection_->addItems(SortedConnectionItems());

    for (QWidget* w : std::initializer_list<QWidget*>{ok_, serverUrl_, userName_, sharedDirectory_,
                                                      password_, connection_, browse_}) {
        w->setFocusPolicy(Qt::StrongFocus);
    }
    setTabOrder(ok_, serverUrl_);
    setTabOrder(serverUrl_, userName_);
    setTabOrder(userName_, sharedDirectory_);
    setTabOrder(sharedDirectory_, password_);
    setTabOrder(password_, connection_);
    setTabOrder(connection_, browse_);
    connect(ok_, &QPushButton::clicked, this, &CConfigDialog::accept);
    connect(browse_, &QPushButton::clicked, this, &CConfigDialog::BrowseSharedDirectory);
}

void CConfigDialog::BrowseSharedDirectory() {
    QString chosen = chooseDirectory_(this, sharedDirectory_->text());
    if (chosen.isEmpty()) {
        return;
    }
    if (!chosen.endsWith(QLatin1Char('/'))) {
        chosen += QLatin1Char('/');
    }
    sharedDirectory_->setText(chosen);
}

int CConfigDialog::ShowModal() {
    sharedDirectory_->setText(ToQ(values.sharedDirectory));
    serverUrl_->setText(ToQ(values.serverUrl));
    userName_->setText(ToQ(values.userName));
    connection_->setCurrentIndex(connection_->findText(QStringLiteral("28.8K Modem")));
    connection_->setEditText(ToQ(values.connection));
    password_->setText(ToQ(values.password));
    ok_->setFocus();
    return exec();
}

void CConfigDialog::accept() {
    values.sharedDirectory = FromQ(sharedDirectory_->text());
    values.serverUrl = FromQ(serverUrl_->text());
    values.userName = FromQ(userName_->text());
    values.connection = FromQ(connection_->currentText());
    values.password = FromQ(password_->text());
    QDialog::accept();
}

}  // namespace brindle
