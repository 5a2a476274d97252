#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest/QTest>

#include <filesystem>

#include "base/preferences.h"
#include "ui/desktop_notifier.h"
#include "ui/preferences_dialog.h"
#include "ui_test_support.h"
#include "window_fixture.h"

namespace brindle::test {
namespace {

// The fields as the dialog shows them.
Preferences Fields(const CPreferencesDialog& dialog) {
    Preferences shown;
    shown.uploadSlots = static_cast<std::size_t>(dialog.uploadSlotsSpin()->value());
    shown.uploadLimitKiB = dialog.uploadLimitSpin()->value();
    shown.downloadLimitKiB = dialog.downloadLimitSpin()->value();
    shown.notifications = dialog.notificationsCheck()->isChecked();
    shown.portMapping = dialog.portMappingCheck()->isChecked();
    return shown;
}

const Preferences kEdited{3, 0, 250, false, false};

TEST(PreferencesDialogTest, ShowsTheValuesWithNoLimitForZeroAndTabsTopToBottom) {
    CPreferencesDialog dialog;
    dialog.values = kEdited;
    ModalScript script({[&](QWidget*) {
        EXPECT_EQ(Fields(dialog), kEdited);
        EXPECT_EQ(dialog.uploadLimitSpin()->text(), "No limit");
        EXPECT_EQ(dialog.downloadLimitSpin()->text(), "250");
        EXPECT_EQ(QApplication::focusWidget(), dialog.uploadSlotsSpin());
        EXPECT_TRUE(dialog.okButton()->isDefault());

        const std::vector<QWidget*> expected = {
            dialog.uploadSlotsSpin(),    dialog.uploadLimitSpin(),  dialog.downloadLimitSpin(),
            dialog.notificationsCheck(), dialog.portMappingCheck(), dialog.okButton(),
            dialog.cancelButton()};
        std::vector<QWidget*> order;
        QWidget* at = dialog.uploadSlotsSpin();
        do {
            if (std::find(expected.begin(), expected.end(), at) != expected.end()) {
                order.push_back(at);
            }
            at = at->nextInFocusChain();
        } while (at != dialog.uploadSlotsSpin() && order.size() < 10);
        EXPECT_EQ(order, expected);
        dialog.cancelButton()->click();
    }});
    EXPECT_EQ(dialog.ShowModal(), QDialog::Rejected);
    EXPECT_EQ(script.pending(), 0u);
}

class PreferencesWindowTest : public WindowFixture {
  protected:
    QAction* FileAction(const QString& text) const {
        for (QAction* action : window->menuBar()->actions()[0]->menu()->actions()) {
            if (action->text() == text) {
                return action;
            }
        }
        return nullptr;
    }
    // Opens File > Preferences... and lets `step` answer the dialog.
    void EditPreferences(const std::function<void(CPreferencesDialog&)>& step) {
        ModalScript script({[&](QWidget* modal) {
            auto* dialog = qobject_cast<CPreferencesDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            EXPECT_EQ(dialog->parentWidget(), window.get());
            step(*dialog);
            if (dialog->isVisible()) {
                dialog->reject();
            }
        }});
        FileAction("&Preferences...")->trigger();
        EXPECT_EQ(script.pending(), 0u);
    }
};

TEST_F(PreferencesWindowTest, TheMenuItemComesDirectlyBelowConfiguration) {
    const QList<QAction*> file = window->menuBar()->actions()[0]->menu()->actions();
    const QAction* preferences = FileAction("&Preferences...");
    ASSERT_NE(preferences, nullptr);
    const qsizetype at = file.indexOf(preferences);
    ASSERT_GT(at, 0);
    EXPECT_EQ(file[at - 1]->text(), "Confi&guation");
}

TEST_F(PreferencesWindowTest, OkWritesPreferencesConfAndCancelChangesNothing) {
    dir.WriteFile("config.txt", "http://x/\nann\n/share/\nT1\npw\n");
    EditPreferences([&](CPreferencesDialog& dialog) {
        EXPECT_EQ(Fields(dialog), Preferences{});
        dialog.uploadSlotsSpin()->setValue(3);
        dialog.cancelButton()->click();
    });
    EXPECT_FALSE(std::filesystem::exists(PreferencesPath()));
    EXPECT_EQ(*app.preferences(), Preferences{});

    EditPreferences([&](CPreferencesDialog& dialog) {
        dialog.uploadSlotsSpin()->setValue(3);
        // Typed and not confirmed with Enter: OK still takes it.
        dialog.downloadLimitSpin()->selectAll();
        QTest::keyClicks(dialog.downloadLimitSpin(), "250");
        dialog.notificationsCheck()->setChecked(false);
        dialog.portMappingCheck()->setChecked(false);
        dialog.okButton()->click();
    });
    EXPECT_EQ(*app.preferences(), kEdited);
    const PreferencesFileContent written = ReadPreferencesFile(PreferencesPath());
    EXPECT_TRUE(written.exists);
    EXPECT_TRUE(written.problems.empty());
    EXPECT_EQ(written.values, kEdited);
    EXPECT_TRUE(messages.texts().empty());

    // Shown again with the saved values; Cancel leaves file and values alone.
    const std::string before = ReadWholeFile(PreferencesPath());
    EditPreferences([&](CPreferencesDialog& dialog) {
        EXPECT_EQ(Fields(dialog), kEdited);
        dialog.uploadLimitSpin()->setValue(99);
        dialog.cancelButton()->click();
    });
    EXPECT_EQ(ReadWholeFile(PreferencesPath()), before);
    EXPECT_EQ(*app.preferences(), kEdited);
    EXPECT_EQ(ReadWholeFile((dir.path() / "config.txt").string()),
              "http://x/\nann\n/share/\nT1\npw\n");
}

TEST_F(PreferencesWindowTest, AFailedSaveNamesTheFileAndTheValuesHoldForThisRun) {
    // A folder where the file should be: it cannot be written.
    std::filesystem::create_directories(PreferencesPath());
    EditPreferences([&](CPreferencesDialog& dialog) {
        dialog.uploadSlotsSpin()->setValue(5);
        dialog.okButton()->click();
    });
    ASSERT_EQ(messages.shown().size(), 1u);
    EXPECT_EQ(messages.shown()[0].icon, MessageIcon::Error);
    EXPECT_NE(messages.shown()[0].text.find(PreferencesPath()), std::string::npos);
    EXPECT_EQ(app.preferences()->uploadSlots, 5u);
}

TEST_F(PreferencesWindowTest, NotificationsOffShowNothingUntilTurnedOnAgain) {
    QSignalSpy notes(window->notifier(), &CDesktopNotifier::notified);
    Preferences off;
    off.notifications = false;
    ASSERT_TRUE(app.SavePreferences(off));
    EXPECT_EQ(window->notifier()->Notify("Download complete", "a.mp3"),
              CDesktopNotifier::Channel::Off);
    display.AppendLine("<bob> hi");  // the window is hidden
    ASSERT_TRUE(WaitForUi([&] { return tabs->messageView()->toPlainText().contains("hi"); }));
    EXPECT_EQ(notes.count(), 0);

    ASSERT_TRUE(app.SavePreferences(Preferences{}));
    display.AppendLine("<bob> again");
    ASSERT_TRUE(WaitForUi([&] { return notes.count() == 1; }));
    EXPECT_EQ(notes[0][1].toString(), "<bob> again");
}

}  // namespace
}  // namespace brindle::test
