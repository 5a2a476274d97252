#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>

#include <climits>

#include "app/share_app.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "ui/about_dialog.h"
#include "ui/config_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/qt_ports.h"
#include "ui/splash_screen.h"
#include "ui/ui_resources.h"
#include "ui_test_support.h"

namespace brindle::test {
namespace {

QStringList ComboItems(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) {
        items << combo->itemText(i);
    }
    return items;
}

// The five fields as the dialog shows them.
AppSettings Fields(const CConfigDialog& dialog) {
    AppSettings shown;
    shown.serverUrl = dialog.serverUrlEdit()->text().toStdString();
    shown.userName = dialog.userNameEdit()->text().toStdString();
    shown.password = dialog.passwordEdit()->text().toStdString();
    shown.sharedDirectory = dialog.sharedDirectoryEdit()->text().toStdString();
    shown.connection = dialog.connectionCombo()->currentText().toStdString();
    return shown;
}

TEST(ConfigDialogTest, FieldsListAndTabOrder) {
    CConfigDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "Configuraton");
    EXPECT_EQ(dialog.passwordEdit()->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(dialog.okButton()->isDefault());
    QComboBox* connection = dialog.connectionCombo();
    EXPECT_TRUE(connection->isEditable());
    EXPECT_EQ(ComboItems(connection),
              QStringList({"", "28.8K Modem", "33.6K Modem", "56K Modem", "DSL,Cable", "ISDN-128K",
                           "ISDN-56K", "Other", "T1", "T2", "T3"}));

    // On screen: URL, user, password, directory, connection, then OK.
    EXPECT_LT(dialog.userNameEdit()->y(), dialog.passwordEdit()->y());
    EXPECT_LT(dialog.passwordEdit()->y(), dialog.sharedDirectoryEdit()->y());
    EXPECT_LT(dialog.sharedDirectoryEdit()->y(), connection->y());
    EXPECT_LT(connection->y(), dialog.okButton()->y());

    // Tab: OK, URL, user, directory, password, connection, and round again.
    const std::vector<QWidget*> expected = {dialog.okButton(),     dialog.serverUrlEdit(),
                                            dialog.userNameEdit(), dialog.sharedDirectoryEdit(),
                                            dialog.passwordEdit(), connection};
    std::vector<QWidget*> order;
    QWidget* at = dialog.okButton();
    do {
        if (std::find(expected.begin(), expected.end(), at) != expected.end()) {
            order.push_back(at);
        }
        at = at->nextInFocusChain();
    } while (at != dialog.okButton() && order.size() < 10);
    EXPECT_EQ(order, expected);
}

TEST(ConfigDialogTest, OkTakesTheTypedTextsAndEscKeepsTheValues) {
    CConfigDialog dialog;
    dialog.values.serverUrl = "http://x/";
    dialog.values.connection = "Carrier pigeon";
    ModalScript script({[](QWidget* modal) {
        auto* shown = static_cast<CConfigDialog*>(modal);
        EXPECT_EQ(shown->connectionCombo()->currentText(), "Carrier pigeon");
        shown->userNameEdit()->setText("changed");
        QTest::keyClick(shown, Qt::Key_Escape);
    }});
    dialog.ShowModal();
    EXPECT_EQ(script.ran(), 1);
    EXPECT_EQ(dialog.values.userName, "");

    ModalScript typed({[](QWidget* modal) {
        auto* shown = static_cast<CConfigDialog*>(modal);
        shown->userNameEdit()->setText("ann");
        shown->connectionCombo()->setEditText("Tin can");
        shown->passwordEdit()->setText("s3cret");
        shown->okButton()->click();
    }});
    dialog.ShowModal();
    EXPECT_EQ(typed.ran(), 1);
    EXPECT_EQ(dialog.values.userName, "ann");
    EXPECT_EQ(dialog.values.connection, "Tin can");
    EXPECT_EQ(dialog.values.password, "s3cret");
    EXPECT_EQ(dialog.values.serverUrl, "http://x/");
    EXPECT_EQ(dialog.connectionCombo()->count(), 11);  // typed texts are not added to the list
}

// First use: no config.txt. Esc and an empty field show the dialog again; a
// directory that cannot be scanned gives "Bad directory name!" and an empty
// directory field; then the registration and the saved file.
TEST(ConfigDialogTest, FirstUseLoopsUntilFiveValuesAndAScannableDirectory) {
    TempDir dir;
    dir.WriteFile("share/a.txt", "a");
    const std::string share = (dir.path() / "share").string();
    HttpScriptedServer server(HttpReply("OK\n"));
    FakeMessageBox messages;
    FakeProgressFactory progress;
    QtConfigDialogPort port;
    CShareApp app(UiPorts{&messages, &progress, &port}, (dir.path() / "config.txt").string());

    std::vector<AppSettings> opened;
    auto fill = [&](const std::string& directory, const std::string& password) {
        return [&, directory, password](QWidget* modal) {
            auto* dialog = static_cast<CConfigDialog*>(modal);
            opened.push_back(Fields(*dialog));
            dialog->serverUrlEdit()->setText(QString::fromStdString(server.url()));
            dialog->userNameEdit()->setText("ann");
            dialog->sharedDirectoryEdit()->setText(QString::fromStdString(directory));
            dialog->connectionCombo()->setCurrentIndex(dialog->connectionCombo()->findText("T1"));
            dialog->passwordEdit()->setText(QString::fromStdString(password));
            QTest::keyClick(dialog->okButton(), Qt::Key_Space);
        };
    };
    ModalScript script({
        [&](QWidget* modal) {
            opened.push_back(Fields(*static_cast<CConfigDialog*>(modal)));
            QTest::keyClick(modal, Qt::Key_Escape);
        },
        fill(share, ""),                                // empty password
        fill((dir.path() / "missing").string(), "pw"),  // cannot be scanned
        [&](QWidget* modal) {
            auto* dialog = static_cast<CConfigDialog*>(modal);
            opened.push_back(Fields(*dialog));
            dialog->sharedDirectoryEdit()->setText(QString::fromStdString(share));
            dialog->okButton()->click();
        },
    });
    app.LoadSettings();

    EXPECT_EQ(script.pending(), 0u);
    ASSERT_EQ(opened.size(), 4u);
    EXPECT_EQ(opened[0].serverUrl, kDefaultServerUrl);
    EXPECT_EQ(opened[0].userName, "");
    EXPECT_EQ(opened[0].connection, "");
    EXPECT_EQ(opened[1].serverUrl, kDefaultServerUrl);  // Esc kept the values
    EXPECT_EQ(opened[2].password, "");                  // the earlier OK was kept
    EXPECT_EQ(opened[3].sharedDirectory, "");           // emptied after the bad name
    EXPECT_EQ(opened[3].password, "pw");
    EXPECT_EQ(messages.texts(),
              std::vector<std::string>({"Bad directory name!", "Registred with server!"}));
    EXPECT_EQ(messages.shown()[0].icon, MessageIcon::Error);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(ReadWholeFile(dir.path() / "config.txt"),
              server.url() + "\nann\n" + share + "/\nT1\npw\n");
}

TEST(AboutDialogTest, ShowsNameAndIconAndClosesWithEnter) {
    InitUiResources();
    CAboutDialog about(AppIcon());
    EXPECT_EQ(about.windowTitle(), "About: Brindlenet V1.0");
    auto* title = about.findChild<QLabel*>("aboutTitle");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "Brindlenet V1.0");
    auto* icon = about.findChild<QLabel*>("aboutIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    EXPECT_TRUE(about.findChildren<QPushButton*>().isEmpty());
    ModalScript script({[](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Return); }});
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(ProgressDialogTest, StatusAndScaledBar) {
    QtProgressFactory factory;
    std::unique_ptr<IProgressWindow> window = factory.OpenProgress();
    auto* qt = static_cast<QtProgressWindow*>(window.get());
    QPointer<CProgressDialog> dialog = qt->dialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), "Progress");
    EXPECT_EQ(dialog->statusLabel()->text(), "msg");
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());

    window->SetStatus("Registering with server...");
    EXPECT_EQ(dialog->statusLabel()->text(), "Registering with server...");
    // A range past what an int holds still fills the bar in proportion.
    window->SetRange(10LL * INT_MAX);
    window->SetStep(5LL * INT_MAX);
    window->StepIt();
    const QProgressBar* bar = dialog->bar();
    EXPECT_EQ(bar->value() - bar->minimum(), (bar->maximum() - bar->minimum()) / 2);
    window->StepIt();
    window->StepIt();  // past the end: the bar stays full
    EXPECT_EQ(bar->value(), bar->maximum());

    window->Hide();
    EXPECT_FALSE(dialog->isVisible());
    window.reset();
    EXPECT_TRUE(dialog.isNull());
}

TEST(MessageBoxTest, CaptionIconsAndAnswers) {
    QtMessageBox box;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    auto capture = [&](QWidget* modal) {
        auto* shown = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(shown, nullptr);
        title = shown->windowTitle();
        text = shown->text();
        icon = shown->icon();
    };
    {
        ModalScript script({[&](QWidget* modal) {
            capture(modal);
            static_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click();
        }});
        box.ShowMessage("Bad directory name!", MessageIcon::Error);
        EXPECT_EQ(script.ran(), 1);
    }
    EXPECT_EQ(title, "Brindlenet");
    EXPECT_EQ(text, "Bad directory name!");
    EXPECT_EQ(icon, QMessageBox::Critical);

    {
        ModalScript script({[&](QWidget* modal) {
            capture(modal);
            static_cast<QMessageBox*>(modal)->button(QMessageBox::No)->click();
        }});
        EXPECT_EQ(box.AskYesNoCancel("Overwrite?"), Answer::No);
    }
    EXPECT_EQ(title, "Brindlenet");
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    {
        ModalScript script({[](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); }});
        EXPECT_EQ(box.AskYesNoCancel("Overwrite?"), Answer::Cancel);
    }
}

TEST(MessageBoxTest, HeldMessagesWaitUntilReleased) {
    QtMessageBox box;
    box.HoldMessages();
    box.ShowMessage("Error binding server socket!", MessageIcon::Error);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    QString shown;
    ModalScript script({[&](QWidget* modal) {
        shown = static_cast<QMessageBox*>(modal)->text();
        static_cast<QMessageBox*>(modal)->accept();
    }});
    box.ReleaseMessages();
    EXPECT_EQ(shown, "Error binding server socket!");
}

TEST(SplashScreenTest, StaysUntilCloseSplashAndMovesWhenDragged) {
    InitUiResources();
    CSplashScreen splash(SplashPicture());
    EXPECT_EQ(splash.size(), QSize(492, 276));
    splash.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));

    EXPECT_FALSE(splash.close());
    QTest::mouseClick(&splash, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(splash.isVisible());

    const QPoint before = splash.pos();
    QTest::mousePress(&splash, Qt::LeftButton, {}, QPoint(20, 20));
    QTest::mouseMove(&splash, QPoint(70, 50));
    QTest::mouseRelease(&splash, Qt::LeftButton, {}, QPoint(70, 50));
    EXPECT_TRUE(splash.isVisible());
    EXPECT_TRUE(WaitForUi([&] { return splash.pos() == before + QPoint(50, 30); },
                          std::chrono::seconds(2)));

    splash.CloseSplash();
    EXPECT_FALSE(splash.isVisible());
}

}  // namespace
}  // namespace brindle::test
