// What every page of the main window's tab control has in common. A page owns
// its controls, places them in the page area and carries out its commands.
// Its controls are children of the tab control itself, not of a page widget,
// so the tab control shows one page by showing that page's controls and
// hiding the others'.
#pragma once

#include <QList>
#include <QObject>

#include "peer/peer_options.h"
#include "ui/page_layout.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace brindle {

class CShareApp;
class CReportView;

// The state the pages share: the core, the peer port and time limits of
// downloads and messages, and whether a blocking command is running.
struct PageContext {
    CShareApp& app;
    PeerOptions peerOptions;
    bool busy = false;
};

// Marks a blocking command as running; a second command arriving from a nested
// event loop (a message box, a progress window) is dropped.
class CommandGuard {
  public:
    explicit CommandGuard(PageContext& context) : busy_(context.busy), entered_(!context.busy) {
        busy_ = true;
    }
    ~CommandGuard() {
        if (entered_) {
            busy_ = false;
        }
    }
    CommandGuard(const CommandGuard&) = delete;
    CommandGuard& operator=(const CommandGuard&) = delete;
    [[nodiscard]] bool entered() const { return entered_; }

  private:
    bool& busy_;
    bool entered_;
};

class TabPage : public QObject {
    Q_OBJECT
  public:
    // The page's controls, in the order they were made.
    [[nodiscard]] virtual QList<QWidget*> Controls() const = 0;
    // Places every control of the page in `area`, shown or not.
    virtual void Place(const PageArea& area) = 0;
    // Sets the column widths of the page's lists from the window's client
    // width at creation; a page without lists has nothing to set.
    virtual void SetColumnWidths(int clientWidth) {}
    // Shows or hides every control of the page.
    void SetVisible(bool show);

  protected:
    // The controls are made as children of `surface`, the tab control.
    TabPage(QWidget* surface, PageContext& context);

    QLabel* MakeLabel(const char* text, Qt::Alignment horizontal);
    QLineEdit* MakeEdit(const QString& text, bool tabStop);
    QPushButton* MakeButton(const char* text, bool tabStop);
    CReportView* MakeList();

    [[nodiscard]] QWidget* surface() const { return surface_; }
    [[nodiscard]] PageContext& context() const { return context_; }
    [[nodiscard]] CShareApp& app() const { return context_.app; }

  private:
    QWidget* surface_;
    PageContext& context_;
};

}  // namespace brindle
