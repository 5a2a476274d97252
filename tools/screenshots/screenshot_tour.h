// A scripted walk through the window that saves a picture of each page and
// dialog, for the documentation. The program brindlenet-screenshots runs it;
// tools/screenshots.sh starts that program against a local directory server.
#pragma once

#include <QString>

namespace brindle {

class CWindowApp;

// Starts up, sends a message to the user's own name, searches (query from
// BRINDLENET_TOUR_QUERY, file type from BRINDLENET_TOUR_EXT, "*.*" by
// default), sorts the results by size, downloads the first result, saves
// messages.png, search.png, sorted.png, transfer.png, configuration.png,
// preferences.png and about.png into `folder`, and notification.png (the
// part of the screen where the desktop shows the download's notification)
// where a tray or notification service shows it; then exits the normal way.
// Returns the exit code.
int RunScreenshotTour(CWindowApp& windowApp, const QString& folder);

}  // namespace brindle
