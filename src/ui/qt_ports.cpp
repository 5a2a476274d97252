#include "ui/qt_ports.h"

#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QThread>

#include <cstdio>

#include "ui/config_dialog.h"
#include "ui/qt_text.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

bool OnGuiThread() {
    return QThread::currentThread() == qApp->thread();
}

QString CaptionText() {
    return QString::fromUtf8(kAppName);
}

// One line of the display: the line feed (and a carriage return before it)
// end the line; the display starts a new line for every message.
QString DisplayText(const std::string& line) {
    QString text = ToQ(line);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'))) {
        text.chop(1);
    }
    text.remove(QLatin1Char('\r'));
    return text;
}

}  // namespace

QtMessageBox::QtMessageBox(std::function<QWidget*()> parent) : parent_(std::move(parent)) {}

QWidget* QtMessageBox::Parent() const {
    QWidget* parent = parent_ ? parent_() : nullptr;
    // A hidden or minimised owner would hide the box with it.
    if (parent != nullptr && (!parent->isVisible() || parent->isMinimized())) {
        return nullptr;
    }
    return parent;
}

void QtMessageBox::ShowMessage(const std::string& text, MessageIcon icon) {
    if (unattended_) {
        std::fprintf(stderr, "%s: %s\n", kAppName, text.c_str());
        return;
    }
    if (!OnGuiThread()) {
        QMetaObject::invokeMethod(
            qApp, [this, text, icon] { ShowMessage(text, icon); }, Qt::QueuedConnection);
        return;
    }
    if (holding_) {
        held_.push_back(Held{text, icon});
        return;
    }
    if (closing_) {
        std::fprintf(stderr, "%s: %s\n", kAppName, text.c_str());
        return;
    }
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                    CaptionText(), ToQ(text), QMessageBox::Ok, Parent());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

Answer QtMessageBox::AskYesNoCancel(const std::string& text) {
    if (unattended_) {
        std::fprintf(stderr, "%s: %s [Yes]\n", kAppName, text.c_str());
        return Answer::Yes;
    }
    if (!OnGuiThread()) {
        Answer answer = Answer::Cancel;
        QMetaObject::invokeMethod(
            qApp, [this, &text, &answer] { answer = AskYesNoCancel(text); },
            Qt::BlockingQueuedConnection);
        return answer;
    }
    if (closing_) {
        return Answer::Cancel;
    }
    QMessageBox box(QMessageBox::NoIcon, CaptionText(), ToQ(text),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, Parent());
    box.setWindowModality(Qt::ApplicationModal);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

void QtMessageBox::HoldMessages() {
    holding_ = true;
}

void QtMessageBox::ReleaseMessages() {
    holding_ = false;
    std::vector<Held> held;
    held.swap(held_);
    for (const Held& message : held) {
        ShowMessage(message.text, message.icon);
    }
}

QtConfigDialogPort::QtConfigDialogPort(std::function<QWidget*()> parent)
    : parent_(std::move(parent)) {}

void QtConfigDialogPort::ShowModal(AppSettings& values) {
    CConfigDialog dialog(parent_ ? parent_() : nullptr);
    dialog.values = values;
    if (dialog.ShowModal() == QDialog::Accepted) {
        values = dialog.values;
    }
}

QtMessageDisplay::QtMessageDisplay(QObject* parent) : QObject(parent) {}

void QtMessageDisplay::SetView(QPlainTextEdit* view) {
    view_ = view;
}

void QtMessageDisplay::AppendLine(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    pending_.push_back(line);
    if (!flushPosted_) {
        flushPosted_ = true;
        QMetaObject::invokeMethod(this, &QtMessageDisplay::Flush, Qt::QueuedConnection);
    }
}

void QtMessageDisplay::Flush() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines.swap(pending_);
        flushPosted_ = false;
    }
    if (!view_ || lines.empty()) {
        return;
    }
    // Appending keeps the reader's place: the view scrolls only where the
    // caller asks it to (after a send).
    QScrollBar* vertical = view_->verticalScrollBar();
    QScrollBar* horizontal = view_->horizontalScrollBar();
    const int keepV = vertical->value();
    const int keepH = horizontal->value();
    QStringList shown;
    for (const std::string& line : lines) {
        shown << DisplayText(line);
        view_->appendPlainText(shown.back());
    }
    vertical->setValue(keepV);
    horizontal->setValue(keepH);
    emit linesShown(shown);
}

}  // namespace brindle
