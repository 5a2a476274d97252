// Every fixed text the engine shows a user through its front ends: message
// boxes, progress-window statuses and transfer rows. Captions, menus and labels
// that only the window shows are in ui/window_texts.h.
//
// The spellings are deliberate and must not be corrected: "Registred with
// server!", "Unabel to connect to ", "alrady",
// "wrte", "connecto", "Dowloading", "greater then" and the others below are
// what users have always been shown and what their scripts and other peers'
// users look for; tests compare them byte for byte.
//
// Words that travel between programs ("OK\n", "BAD-PASSWORD\n", "GET\n", ...)
// are not texts for people; they stay with the code that speaks the protocol.
#pragma once

#include <string>

namespace brindle {

// --- Message boxes: settings, start-up and the directory server ---
inline constexpr char kRegisterFailedText[] = "Unable to register with server!";
inline constexpr char kBadSharedDirectoryInConfigText[] = "Bad shared directory in configuration!";
inline constexpr char kConfigWriteFailedText[] = "Unable to open config file for writing.";
inline constexpr char kBadDirectoryNameText[] = "Bad directory name!";
inline constexpr char kBadPasswordText[] = "Bad password for that username!";
inline constexpr char kRegisteredText[] = "Registred with server!";

// --- Message boxes: search ---
inline constexpr char kBadServerUrlText[] = "Bad server URL!";
inline constexpr char kServerConnectFailedPrefix[] = "Unabel to connect to ";  // + host
inline constexpr char kRequestHeaderSendFailedText[] = "Unable to wrte request to server!";
inline constexpr char kRequestBodySendFailedText[] = "Error sending request to server!";
inline constexpr char kResponseHeadersFailedText[] = "Unable to read HTTP response headers!";
inline constexpr char kResultCountFailedText[] = "Unable to read the number of results!";
inline constexpr char kNoFileTypeText[] = "No file type selected!";
inline constexpr char kNoMaxResultsText[] = "No max results entered!";
inline constexpr char kMaxResultsNotPositiveText[] = "Max results must be greater then zero!";
inline constexpr char kReadFileNameFailedText[] = "Error reading the file name!";
inline constexpr char kReadUserNameFailedText[] = "Error reading the user name!";
inline constexpr char kReadConnectionFailedText[] = "Error reading the connection!";
inline constexpr char kReadLengthFailedText[] = "Error reading the length!";
inline constexpr char kReadIpFailedText[] = "Error reading the ip!";

// --- Message boxes: the peer listener ---
inline constexpr char kBindFailedText[] = "Error binding server socket!";
inline constexpr char kListenFailedText[] = "Error after calling listen for the server socket!";

// --- Message boxes: downloads ---
inline std::string OverwriteQuestionText(const std::string& localName) {
    return "The file (" + localName + ") alrady exists.\n" + "Do you want to overwrite it?";
}
inline std::string AlreadyListedText(const std::string& localName) {
    return "The file (" + localName + ") is alrady on the download table...";
}

// --- Message boxes: instant messages ---
inline std::string LookupFailedText(const std::string& recipient) {
    return "Unable to lookup user " + recipient + "'s IP address.";
}
inline std::string NotRegisteredText(const std::string& recipient, const std::string& serverUrl) {
    return "The user " + recipient + " is not registered with the " + "server " + serverUrl + ".";
}
inline std::string NotLoggedInText(const std::string& recipient) {
    return "The user " + recipient + " is currently not logged in.";
}
inline std::string PeerConnectFailedText(const std::string& address) {
    return "Unable to connecto to ip " + address + "!";
}
inline std::string MessageHeaderFailedText(const std::string& address) {
    return "Unabel to wrtie header to " + address + "!";
}
inline std::string MessageLineFailedText(const std::string& address) {
    return "Unable send a message to " + address + "!";
}

// --- Progress-window statuses ---
inline constexpr char kProgressRegistering[] = "Registering with server...";
inline constexpr char kProgressSendingQuery[] = "Sending Query To Server...";
inline constexpr char kProgressReadingReply[] = "Dowloading results...";
inline constexpr char kProgressReadingResults[] = "Downloading Search Results...";
inline constexpr char kProgressFoundPrefix[] = "Found: ";  // + file name, while scanning

// --- Transfer tables: column headers and the texts of a row's cells ---
inline constexpr const char* kTransferColumnHeaders[] = {
    "File Name", "User", "Size", "Connection", "Rate", "% Done", "Status"};
inline constexpr char kStatusConnecting[] = "Connecting...";
inline constexpr char kStatusDownloading[] = "Downloading...";
inline constexpr char kStatusUploading[] = "Uploading...";
inline constexpr char kStatusComplete[] = "File Complete...";
inline constexpr char kStatusCanceled[] = "Canceled...";
inline constexpr char kStatusError[] = "Transfer Error...";
// A download waiting in the sharer's line; %lld: its position there.
inline constexpr char kStatusQueuedFormat[] = "Queued, position %lld...";

}  // namespace brindle
