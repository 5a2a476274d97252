#include "ui/progress_dialog.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>

#include <algorithm>

#include "ui/dialog_units.h"
#include "ui/qt_text.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

constexpr int kBarSteps = 10000;     // the bar's own range; the caller's is scaled to it
constexpr int kRepaintEveryMs = 40;  // at most ~25 repaints a second

void CentreOver(QWidget& window, QWidget* parent) {
    QRect area;
    if (parent != nullptr && parent->isVisible() && !parent->isMinimized()) {
        area = parent->frameGeometry();
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    if (area.isValid()) {
        QRect frame = window.frameGeometry();
        frame.moveCenter(area.center());
        window.move(frame.topLeft());
    }
}

}  // namespace

CProgressDialog::CProgressDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kProgressDialogTitle));
    const DialogUnits du(*this);
    setFixedSize(du.Size(186, 66));
    auto* group = new QGroupBox(QString::fromUtf8(kProgressDialogTitle), this);
    group->setGeometry(du.Rect(7, 7, 172, 48));
    status_ = new QLabel(QString::fromUtf8(kProgressInitialStatus), this);
    status_->setGeometry(du.Rect(15, 20, 150, 8));
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    bar_ = new QProgressBar(this);
    bar_->setGeometry(du.Rect(15, 35, 151, 10));
    bar_->setTextVisible(false);
    bar_->setRange(0, kBarSteps);
    bar_->setValue(0);
}

QtProgressFactory::QtProgressFactory(std::function<QWidget*()> parent)
    : parent_(std::move(parent)) {}

std::unique_ptr<IProgressWindow> QtProgressFactory::OpenProgress() {
    return std::make_unique<QtProgressWindow>(parent_ ? parent_() : nullptr);
}

QtProgressWindow::QtProgressWindow(QWidget* parent) : dialog_(new CProgressDialog(parent)) {
    dialog_->setModal(false);
    dialog_->adjustSize();
    CentreOver(*dialog_, parent);
    dialog_->show();
    dialog_->raise();
    Repaint(true);
}

QtProgressWindow::~QtProgressWindow() {
    if (dialog_) {
        dialog_->done(0);
        delete dialog_.data();
    }
}

void QtProgressWindow::SetStatus(const std::string& text) {
    if (dialog_) {
        dialog_->statusLabel()->setText(ToQ(text));
    }
    Repaint(false);
}

void QtProgressWindow::SetRange(long long maximum) {
    maximum_ = maximum;
    position_ = 0;
    UpdateBar();
    Repaint(false);
}

void QtProgressWindow::SetStep(long long step) {
    step_ = step;
}

void QtProgressWindow::StepIt() {
    position_ += step_;
    UpdateBar();
    Repaint(false);
}

void QtProgressWindow::Hide() {
    if (dialog_) {
        dialog_->hide();
    }
}

void QtProgressWindow::UpdateBar() {
    if (!dialog_) {
        return;
    }
    long long value = 0;
    if (maximum_ > 0) {
        const long long clamped = std::clamp(position_, 0LL, maximum_);
        // Scaled in floating point: positions near 2^63 would overflow a product.
        value = static_cast<long long>(static_cast<double>(clamped) * kBarSteps /
                                       static_cast<double>(maximum_));
    }
    dialog_->bar()->setValue(
        static_cast<int>(std::clamp(value, 0LL, static_cast<long long>(kBarSteps))));
}

void QtProgressWindow::Repaint(bool force) {
    if (!force && sincePaint_.isValid() && sincePaint_.elapsed() < kRepaintEveryMs) {
        return;
    }
    sincePaint_.start();
    // Paint and timer events run; clicks and keys wait for the request to end.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace brindle
