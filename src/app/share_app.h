// The application object: the shared state of one running copy and the steps of
// start-up and exit that are not window steps. Each front end calls these with
// its own window steps in between.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/reachability_monitor.h"
#include "base/preferences.h"
#include "base/settings.h"
#include "base/ui_ports.h"
#include "directory/directory_client.h"
#include "directory/push_requests.h"
#include "directory/search.h"
#include "peer/peer_listener.h"
#include "peer/push_tokens.h"
#include "peer/thread_group.h"
#include "peer/transfer_limits.h"
#include "peer/transfer_record.h"
#include "share/shared_files.h"

namespace brindle {

// What the core needs of its front end.
struct UiPorts {
    IMessageBox* messageBox = nullptr;
    IProgressFactory* progress = nullptr;
    IConfigDialog* configDialog = nullptr;  // none: an incomplete config.txt cannot be edited
};

class CShareApp {
  public:
    explicit CShareApp(UiPorts ports, std::string configPath = kConfigFileName,
                       std::string preferencesPath = DefaultPreferencesPath());
    ~CShareApp();
    CShareApp(const CShareApp&) = delete;
    CShareApp& operator=(const CShareApp&) = delete;

    // Starts a run afresh: not registered, and no registration attempted yet.
    void BeginStartUp();
    // Loads config.txt, then registers with the directory server unless a
    // registration was already attempted (an incomplete config.txt asks for the
    // settings first, and saving them registers). Returns false when the settings could
    // not be completed (headless, incomplete config.txt); the window goes on
    // regardless.
    bool LoadSettingsAndRegister();
    // Signs off at the directory server (whatever it answers), then closes the
    // listener. Runs once; later calls do nothing.
    void ExitApplication();
    // The program is ending: the configuration dialog is not shown again,
    // start-up does not register, and unsaved settings are not written.
    void RequestExit() { exitRequested_ = true; }
    [[nodiscard]] bool exitRequested() const { return exitRequested_; }

    // Settings and config.txt.
    void LoadSettings();
    void SaveSettings();
    void ClearSettings();
    void EditSettings();
    std::shared_ptr<const AppSettings> settings() const { return settings_.Get(); }
    void SetSettings(AppSettings settings) { settings_.Publish(std::move(settings)); }
    // True when the last LoadSettings found all five values (or the dialog filled them).
    [[nodiscard]] bool settingsComplete() const { return settingsComplete_; }

    // Preferences and preferences.conf. Loading keeps the defaults for what the
    // file lacks and returns the lines it could not use. Both apply the upload
    // slots and rate limits to the transfers at once.
    std::vector<std::string> LoadPreferences();
    // Publishes the values and writes them; false when the file could not be
    // written (the values hold for this run all the same).
    [[nodiscard]] bool SavePreferences(const Preferences& values);
    std::shared_ptr<const Preferences> preferences() const { return preferences_.Get(); }
    const PreferencesHolder& preferencesHolder() const { return preferences_; }
    const std::string& preferencesPath() const { return preferencesPath_; }
    // The upload slots and shared rate limits of every transfer this copy runs;
    // the commands of app_commands.h hand them to the listener and the downloads.
    const std::shared_ptr<TransferLimits>& transferLimits() const { return transferLimits_; }
    // Called on the thread that loaded or saved, after the values changed.
    void SetPreferencesObserver(std::function<void(const Preferences&)> observer) {
        preferencesChanged_ = std::move(observer);
    }

    // Shared-file list.
    [[nodiscard]] bool RescanSharedFiles();
    // The current scan's list.
    std::shared_ptr<const SharedFileList> sharedFiles() const;
    const SharedFilesHolder& sharedFilesHolder() const { return sharedFiles_; }
    const SettingsHolder& settingsHolder() const { return settings_; }

    // Directory-server events.
    [[nodiscard]] bool RegisterWithServer();
    // True only on the reply "OK\n"; exit signs off whatever the reply.
    bool UnregisterFromServer();
    [[nodiscard]] LookupResult LookupUserIp(const std::string& userName);
    // `text` to `target` through the directory, for a user who cannot be
    // connected to but waits there.
    [[nodiscard]] RelayResult SendRelayedMessage(const std::string& target,
                                                 const std::string& text);
    void RunSearch(const SearchQuery& query, SearchResultsTable& table);

    // onCheckReachable with the current settings (up to the request limits
    // plus the directory's 3 s connect-back); shows nothing.
    [[nodiscard]] ReachAnswer CheckReachable();

    // Reachability: starts the port mapping (when the preferences ask for it)
    // and the probe, which runs after each registration and every 10 minutes.
    // `observer` is called on the monitor's threads. Exit stops both and
    // removes the mapping. Nothing starts when the options are not enabled.
    void StartReachability(ReachabilityOptions options,
                           std::function<void(const ReachabilityStatus&)> observer);
    // Stops the probe and removes the mapping (exit does it too).
    void StopReachability();
    // The current status; Unknown with no mapping before StartReachability.
    [[nodiscard]] ReachabilityStatus reachabilityStatus() const;

    [[nodiscard]] bool registered() const { return registration_.registered; }
    [[nodiscard]] bool registrationAttempted() const { return registration_.registrationAttempted; }
    const RegistrationState& registration() const { return registration_; }

    // Limits of directory-server requests (tests shorten them).
    void SetRequestTimeouts(RequestTimeouts timeouts) { timeouts_ = timeouts; }
    // Told why a directory-server request could not connect, beyond the step's
    // message (the window leaves it empty). Set before any request starts.
    void SetConnectFailureReporter(ConnectFailureReporter reporter) {
        connectFailed_ = std::move(reporter);
    }
    // Called by ExitApplication after the unregistration; the peer listener
    // installs its CloseListeningSocket here.
    void SetCloseListener(std::function<void()> closeListener) {
        closeListener_ = std::move(closeListener);
    }

    IMessageBox& messageBox() { return *ports_.messageBox; }
    IProgressFactory& progressFactory() { return *ports_.progress; }

    // The download table (row k is download record k) and the threads of its workers.
    TransferTable& downloadRecords() { return downloadRecords_; }
    ThreadGroup& downloadThreads() { return downloadThreads_; }
    // The peer listener, which holds the upload table; null before start-up creates it.
    PeerListener* peerListener() const { return peerListener_.get(); }
    void SetPeerListener(std::unique_ptr<PeerListener> listener);

    // The tokens of the pushes asked for; the peer listener hands the
    // sharers' connections to them.
    const std::shared_ptr<PushTokens>& pushTokens() const { return pushTokens_; }
    // Asks `owner` through the directory to connect here for `fileName` and
    // waits up to `deadline` for that connection, or until `cancelled`; an
    // invalid socket when the directory refused or nobody came.
    [[nodiscard]] Socket AskForPush(const std::string& owner, const std::string& fileName,
                                    std::chrono::milliseconds deadline,
                                    const std::function<bool()>& cancelled = {});

  private:
    DirectoryContext Context(const AppSettings& settings);
    void PublishPreferences(const Preferences& values);

    UiPorts ports_;
    NullProgressFactory nullProgress_;
    std::string configPath_;
    std::string preferencesPath_;
    SettingsHolder settings_;
    PreferencesHolder preferences_;
    std::function<void(const Preferences&)> preferencesChanged_;
    std::shared_ptr<TransferLimits> transferLimits_ = std::make_shared<TransferLimits>();
    std::shared_ptr<PushTokens> pushTokens_ = std::make_shared<PushTokens>();
    SharedFilesHolder sharedFiles_;
    RegistrationState registration_;
    RequestTimeouts timeouts_{};
    ConnectFailureReporter connectFailed_;
    bool settingsComplete_ = false;
    bool exitRequested_ = false;
    bool exited_ = false;
    std::function<void()> closeListener_;
    // Declared last, in this order, so the listener and then the downloads wind
    // down while the settings and the shared-file list they read still exist.
    TransferTable downloadRecords_;
    ThreadGroup downloadThreads_;
    std::unique_ptr<PeerListener> peerListener_;
    // Its probe reads the settings: it stops before they go.
    std::unique_ptr<ReachabilityMonitor> reachability_;
};

}  // namespace brindle
