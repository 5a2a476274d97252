// The modeless status window shown while a blocking directory-server request
// or the shared-directory scan runs: one status line and one progress bar.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <functional>

#include "base/ui_ports.h"

class QLabel;
class QProgressBar;

namespace brindle {

class CProgressDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CProgressDialog(QWidget* parent = nullptr);

    [[nodiscard]] QLabel* statusLabel() const { return status_; }
    [[nodiscard]] QProgressBar* bar() const { return bar_; }

  private:
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

// Opens CProgressDialog windows for the core. The request runs on the GUI
// thread, so the window is painted at once when it opens and repainted (at
// most every few tens of milliseconds) as the request reports progress; user
// input waits until the request ends.
class QtProgressFactory : public IProgressFactory {
  public:
    // `parent` gives the window to centre over (the main window once it exists).
    explicit QtProgressFactory(std::function<QWidget*()> parent = {});
    std::unique_ptr<IProgressWindow> OpenProgress() override;

  private:
    std::function<QWidget*()> parent_;
};

// The window behind one IProgressWindow: the bar's range may exceed an int,
// so it is scaled.
class QtProgressWindow : public IProgressWindow {
  public:
    explicit QtProgressWindow(QWidget* parent);
    ~QtProgressWindow() override;
    void SetStatus(const std::string& text) override;
    void SetRange(long long maximum) override;
    void SetStep(long long step) override;
    void StepIt() override;
    void Hide() override;

    [[nodiscard]] CProgressDialog* dialog() const { return dialog_; }
    [[nodiscard]] long long position() const { return position_; }

  private:
    void UpdateBar();
    void Repaint(bool force);

    QPointer<CProgressDialog> dialog_;
    long long maximum_ = 100;
    long long step_ = 10;
    long long position_ = 0;
    QElapsedTimer sincePaint_;
};

}  // namespace brindle
