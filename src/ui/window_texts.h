// The captions, menus, labels and buttons only the window shows, and its
// notification titles. The engine's own texts (message boxes, statuses, the
// transfer rows) are in base/texts.h; the spellings there and here are
// deliberate ("Confi&guation", "Configuraton") and tests compare them byte for
// byte.
#pragma once

namespace brindle {

// The program's name (message-box caption, tray menu) and its full title
// (main window, tray tip, about box).
inline constexpr char kAppName[] = "Brindlenet";
inline constexpr char kAppTitle[] = "Brindlenet V1.0";

// --- The window: menus, tray, tabs, labels and buttons ---
inline constexpr char kMenuFile[] = "&File";
inline constexpr char kMenuClose[] = "&Close";
inline constexpr char kMenuConfiguration[] = "Confi&guation";
inline constexpr char kMenuPreferences[] = "&Preferences...";
inline constexpr char kMenuExit[] = "&Exit";
inline constexpr char kMenuHelp[] = "&Help";
inline constexpr char kMenuAbout[] = "&About";
inline constexpr char kTrayShow[] = "&Show";
inline constexpr char kTrayHide[] = "&Hide";
inline constexpr char kTrayExit[] = "&Exit";

inline constexpr char kTabMessages[] = "Messages";
inline constexpr char kTabSearch[] = "Search";
inline constexpr char kTabTransfer[] = "Transfer";
inline constexpr char kMessagesLabel[] = "Messages Sent To You:";
inline constexpr char kRecipientLabel[] = "User Name:";
inline constexpr char kMessageLabel[] = "Message:";
inline constexpr char kSendButton[] = "Send";
inline constexpr char kFileNameLabel[] = "File Name: ";
inline constexpr char kFileExtLabel[] = "File Ext: ";
inline constexpr char kMaxResultsLabel[] = "Max Results: ";
inline constexpr char kSearchButton[] = "Search";
inline constexpr char kDownloadsLabel[] = "Currently Downloading Files:";
inline constexpr char kUploadsLabel[] = "Currently Uploading Files:";
inline constexpr char kClearButton[] = "Clear";
inline constexpr char kCancelButton[] = "Cancel";
inline constexpr const char* kSearchResultHeaders[] = {"File Name", "File Size", "User",
                                                       "Connection"};

// --- The configuration, progress and about dialogs ---
inline constexpr char kConfigDialogTitle[] = "Configuraton";
inline constexpr char kConfigGroupTitle[] = "Configuration";
inline constexpr char kOkButton[] = "OK";
inline constexpr char kServerUrlLabel[] = "Server URL:";
inline constexpr char kUserNameLabel[] = "User Name:";
inline constexpr char kSharedDirectoryLabel[] = "Shared Directory:";
inline constexpr char kConnectionLabel[] = "Connection:";
inline constexpr char kPasswordLabel[] = "Password";
inline constexpr char kProgressDialogTitle[] = "Progress";
inline constexpr char kProgressInitialStatus[] = "msg";
inline constexpr char kAboutTitlePrefix[] = "About: ";  // + kAppTitle
inline constexpr char kAboutLine[] = "Peer-to-peer file sharing and messages.";

// --- The preferences dialog ---
inline constexpr char kPreferencesTitle[] = "Preferences";
inline constexpr char kUploadSlotsLabel[] = "Upload slots:";
inline constexpr char kUploadLimitLabel[] = "Upload limit (KiB/s):";
inline constexpr char kDownloadLimitLabel[] = "Download limit (KiB/s):";
inline constexpr char kNoLimitText[] = "No limit";
inline constexpr char kNotificationsCheck[] = "Show desktop notifications";
inline constexpr char kPortMappingCheck[] = "Map port 2000 on the router (UPnP, NAT-PMP)";
// kPreferencesNotSavedText + the file's path + kPreferencesNotSavedEnd
inline constexpr char kPreferencesNotSavedText[] = "The preferences could not be saved to ";
inline constexpr char kPreferencesNotSavedEnd[] = ".\nThey apply until the program ends.";

// --- The configuration dialog's folder chooser and the transfer rows' menu ---
inline constexpr char kBrowseButton[] = "Browse...";
inline constexpr char kMenuOpenFile[] = "&Open";
inline constexpr char kMenuOpenFolder[] = "Open containing &folder";

// --- Desktop notifications and the tray's tip ---
inline constexpr char kNotifyMessageTitle[] = "Message";
inline constexpr char kNotifyDownloadComplete[] = "Download complete";
inline constexpr char kNotifyDownloadFailed[] = "Download failed";
inline constexpr char kTipDownloading[] = "%1 downloading";  // %1: running downloads
inline constexpr char kTipUploading[] = "%1 uploading";      // %1: running uploads
inline constexpr char kTipWaiting[] = "%1 waiting";          // %1: queued upload requests

// --- Reachability: the status bar's line (also the tray tip's last line) and its tooltip ---
inline constexpr char kReachableOn[] = "Reachable on port %1";        // %1: the port
inline constexpr char kReachableVia[] = "Reachable on port %1 (%2)";  // %2: UPnP or NAT-PMP
inline constexpr char kNotReachable[] = "Not reachable: other users cannot download from you";
inline constexpr char kReachabilityUnknown[] = "Reachability unknown";
inline constexpr char kReachableTip[] =
    "The directory server connected to port %1 from the internet: other users can download "
    "from you and send you messages.";
inline constexpr char kReachableViaTip[] =
    "The directory server connected to port %1 from the internet, which the router forwards "
    "to this computer (%2%3): other users can download from you and send you messages.";
// %1: the reason
inline constexpr char kNotReachableTip[] =
    "Why: %1.\nWhat to do: turn on UPnP or NAT-PMP on your router, or forward TCP port 2000 "
    "to this computer there. Only one computer per public address can be reached. "
    "You can still download from others.";
inline constexpr char kReachabilityUnknownTip[] =
    "Whether other users can reach port %1 is not known yet: the check runs after each "
    "registration, and some directory servers do not offer it.";

}  // namespace brindle
