#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "app/share_app.h"
#include "net/socket.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "ui/config_dialog.h"
#include "ui/main_window.h"
#include "ui/splash_screen.h"
#include "ui/window_app.h"
#include "ui_test_support.h"

namespace brindle::test {
namespace {

// A socket listening on every interface, so nobody else can bind its port.
Socket TakeAPort(int* port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.fd(), 1) != 0 ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Socket();
    }
    *port = ntohs(address.sin_port);
    return socket;
}

bool SplashVisible() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<CSplashScreen*>(widget) != nullptr && widget->isVisible()) {
            return true;
        }
    }
    return false;
}

// No config.txt and port taken: the window comes up, the splash goes, then the
// bind failure is shown, then the configuration dialog; after it the program
// registers once and runs on.
TEST(WindowAppTest, FirstStartWithThePortTaken) {
    TempDir dir;
    dir.WriteFile("share/a.txt", "a");
    HttpScriptedServer server(HttpReply("OK\n"));
    int port = 0;
    Socket taken = TakeAPort(&port);
    ASSERT_TRUE(taken.valid());

    WindowAppOptions options;
    options.configPath = (dir.path() / "config.txt").string();
    options.splashWait = std::chrono::milliseconds(50);
    options.peerOptions.port = port;
    CWindowApp windowApp(options);

    std::vector<std::string> seen;
    ModalScript script({
        [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(box->text().toStdString());
            EXPECT_FALSE(SplashVisible());
            EXPECT_TRUE(windowApp.window() != nullptr && windowApp.window()->isVisible());
            box->accept();
        },
        [&](QWidget* modal) {
            auto* dialog = qobject_cast<CConfigDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            seen.push_back("dialog");
            EXPECT_FALSE(SplashVisible());
            EXPECT_EQ(dialog->parentWidget(), windowApp.window());
            dialog->serverUrlEdit()->setText(QString::fromStdString(server.url()));
            dialog->userNameEdit()->setText("ann");
            dialog->passwordEdit()->setText("pw");
            dialog->sharedDirectoryEdit()->setText(
                QString::fromStdString((dir.path() / "share").string()));
            dialog->connectionCombo()->setEditText("T1");
            dialog->okButton()->click();
        },
        [&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(box->text().toStdString());
            box->accept();
        },
    });
    windowApp.StartUp();

    EXPECT_EQ(seen, std::vector<std::string>(
                        {"Error binding server socket!", "dialog", "Registred with server!"}));
    EXPECT_EQ(server.requests().size(), 1u);  // registered once, from the dialog
    EXPECT_TRUE(windowApp.app().registered());
    EXPECT_TRUE(windowApp.window()->isVisible());
    EXPECT_EQ(windowApp.window()->windowTitle(), "Brindlenet V1.0");
}

}  // namespace
}  // namespace brindle::test
