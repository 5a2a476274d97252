// A main window over a real application object whose messages are recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/share_app.h"
#include "support/test_support.h"
#include "ui/main_tab_ctrl.h"
#include "ui/main_window.h"
#include "ui/qt_ports.h"
#include "ui/ui_resources.h"

namespace brindle::test {

class WindowFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        InitUiResources();
        window = std::make_unique<CMainWindow>(app, display, AppIcon());
        tabs = window->tabCtrl();
    }
    void TearDown() override { window.reset(); }

    // Settings with the shared directory <temp>/share/ and the given server.
    void UseSettings(const std::string& serverUrl) {
        std::filesystem::create_directories(dir.path() / "share");
        AppSettings settings;
        settings.serverUrl = serverUrl;
        settings.userName = "ann";
        settings.sharedDirectory = (dir.path() / "share").string() + "/";
        settings.connection = "T1";
        settings.password = "pw";
        app.SetSettings(settings);
    }

    std::string PreferencesPath() const { return (dir.path() / "preferences.conf").string(); }

    TempDir dir;
    FakeMessageBox messages;
    FakeProgressFactory progress;
    QtMessageDisplay display;  // outlives the core's listener
    CShareApp app{UiPorts{&messages, &progress, nullptr}, (dir.path() / "config.txt").string(),
                  PreferencesPath()};
    std::unique_ptr<CMainWindow> window;
    CMainTabCtrl* tabs = nullptr;
};

}  // namespace brindle::test
