#include "app/share_app.h"

#include "base/texts.h"

namespace brindle {

CShareApp::CShareApp(UiPorts ports, std::string configPath, std::string preferencesPath)
    : ports_(ports),
      configPath_(std::move(configPath)),
      preferencesPath_(std::move(preferencesPath)) {
    if (ports_.progress == nullptr) {
        ports_.progress = &nullProgress_;
    }
}

CShareApp::~CShareApp() = default;

void CShareApp::BeginStartUp() {
    registration_.registered = false;
    registration_.registrationAttempted = false;
}

bool CShareApp::LoadSettingsAndRegister() {
    LoadSettings();
    if (!settingsComplete_ || exitRequested_) {
        return false;
    }
    if (!registration_.registered && !registration_.registrationAttempted) {
        if (!RegisterWithServer()) {
            messageBox().ShowMessage(kRegisterFailedText, MessageIcon::Error);
        }
    }
    return true;
}

void CShareApp::ExitApplication() {
    if (exited_) {
        return;
    }
    exited_ = true;
    exitRequested_ = true;
    StopReachability();  // removes the port mapping
    UnregisterFromServer();
    if (closeListener_) {
        closeListener_();
    }
}

std::shared_ptr<const SharedFileList> CShareApp::sharedFiles() const {
    std::shared_ptr<const SharedFolder> folder = sharedFiles_.Get();
    // Shares ownership of the whole scan, so the list lives as long as it is held.
    return {folder, &folder->files};
}

void CShareApp::SetPeerListener(std::unique_ptr<PeerListener> listener) {
    peerListener_ = std::move(listener);
}

void CShareApp::PublishPreferences(const Preferences& values) {
    preferences_.Publish(values);
    transferLimits_->Apply(values);
    if (reachability_) {
        reachability_->SetPortMapping(values.portMapping);
    }
    if (preferencesChanged_) {
        preferencesChanged_(values);
    }
}

std::vector<std::string> CShareApp::LoadPreferences() {
    PreferencesFileContent file = ReadPreferencesFile(preferencesPath_);
    PublishPreferences(file.values);
    return std::move(file.problems);
}

bool CShareApp::SavePreferences(const Preferences& values) {
    PublishPreferences(values);
    return WritePreferencesFile(preferencesPath_, values);
}

void CShareApp::ClearSettings() {
    settings_.Publish(AppSettings{});
    settingsComplete_ = false;
}

void CShareApp::LoadSettings() {
    ClearSettings();
    ConfigFileContent file = ReadConfigFile(configPath_);
    if (!file.complete) {
        if (ports_.configDialog == nullptr) {
            // Without a dialog the values cannot be completed; the file is left as it is.
            return;
        }
        EditSettings();
        if (settingsComplete_) {
            SaveSettings();
        }
        return;
    }
    settings_.Publish(file.values);
    settingsComplete_ = true;
    if (!RescanSharedFiles()) {
        messageBox().ShowMessage(kBadSharedDirectoryInConfigText, MessageIcon::None);
    }
}

void CShareApp::SaveSettings() {
    if (!WriteConfigFile(configPath_, *settings_.Get())) {
        messageBox().ShowMessage(kConfigWriteFailedText, MessageIcon::Error);
    }
}

void CShareApp::EditSettings() {
    if (ports_.configDialog == nullptr) {
        return;
    }
    AppSettings values = *settings_.Get();
    if (values.serverUrl.empty()) {
        values.serverUrl = kDefaultServerUrl;
    }
    for (;;) {
        if (exitRequested_) {
            return;  // ended from inside the dialog: nothing is applied
        }
        ports_.configDialog->ShowModal(values);
        if (exitRequested_ || !values.Complete()) {
            continue;
        }
        settings_.Publish(values);
        if (RescanSharedFiles()) {
            break;
        }
        messageBox().ShowMessage(kBadDirectoryNameText, MessageIcon::Error);
        values.sharedDirectory.clear();
    }
    settingsComplete_ = true;
    if (!RegisterWithServer()) {
        messageBox().ShowMessage(kRegisterFailedText, MessageIcon::Error);
    }
}

bool CShareApp::RescanSharedFiles() {
    auto settings = settings_.Get();
    RescanResult result = brindle::RescanSharedFiles(settings->sharedDirectory, progressFactory());
    if (result.sharedDirectory != settings->sharedDirectory) {
        AppSettings updated = *settings;
        updated.sharedDirectory = result.sharedDirectory;
        settings_.Publish(std::move(updated));
    }
    // The list goes out with the folder it was scanned from: uploads open files
    // only under that folder, whatever the setting says meanwhile.
    sharedFiles_.Publish({result.sharedDirectory, std::move(result.files)});
    return result.ok;
}

DirectoryContext CShareApp::Context(const AppSettings& settings) {
    return DirectoryContext{settings, messageBox(), progressFactory(), timeouts_, connectFailed_};
}

bool CShareApp::RegisterWithServer() {
    auto settings = settings_.Get();
    auto folder = sharedFiles_.Get();
    const bool registered =
        brindle::RegisterWithServer(Context(*settings), folder->files, registration_);
    if (registered && reachability_) {
        reachability_->ProbeSoon();
    }
    return registered;
}

ReachAnswer CShareApp::CheckReachable() {
    auto settings = settings_.Get();
    return brindle::CheckReachable(Context(*settings));
}

void CShareApp::StartReachability(ReachabilityOptions options,
                                  std::function<void(const ReachabilityStatus&)> observer) {
    if (reachability_ || !options.enabled) {
        return;
    }
    reachability_ = std::make_unique<ReachabilityMonitor>([this] { return CheckReachable(); },
                                                          std::move(options));
    reachability_->SetObserver(std::move(observer));
    reachability_->Start(preferences_.Get()->portMapping);
}

void CShareApp::StopReachability() {
    if (reachability_) {
        reachability_->Stop();
    }
}

ReachabilityStatus CShareApp::reachabilityStatus() const {
    return reachability_ ? reachability_->status() : ReachabilityStatus{};
}

bool CShareApp::UnregisterFromServer() {
    auto settings = settings_.Get();
    return brindle::UnregisterFromServer(Context(*settings));
}

LookupResult CShareApp::LookupUserIp(const std::string& userName) {
    auto settings = settings_.Get();
    return brindle::LookupUserIp(Context(*settings), userName);
}

RelayResult CShareApp::SendRelayedMessage(const std::string& target, const std::string& text) {
    auto settings = settings_.Get();
    return brindle::SendRelayedMessage(Context(*settings), target, text);
}

Socket CShareApp::AskForPush(const std::string& owner, const std::string& fileName,
                             std::chrono::milliseconds deadline,
                             const std::function<bool()>& cancelled) {
    const std::string token = pushTokens_->Issue();
    if (token.empty()) {
        return Socket();
    }
    {
        auto settings = settings_.Get();
        if (brindle::RequestPush(Context(*settings), owner, fileName, token) != RelayResult::Sent) {
            return pushTokens_->Await(token, PushTokens::Clock::now());  // spends the token
        }
    }
    return pushTokens_->Await(token, PushTokens::Clock::now() + deadline, cancelled);
}

void CShareApp::RunSearch(const SearchQuery& query, SearchResultsTable& table) {
    auto settings = settings_.Get();
    brindle::RunSearch(Context(*settings), query, table);
}

}  // namespace brindle
