#include "ui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QtTest/QTest>

namespace brindle::test {

namespace {

// One QApplication for every test; the window tests run offscreen.
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        app_ = new QApplication(argc_, argv_);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

  private:
    int argc_ = 1;
    char name_[9] = "ui_tests";
    char* argv_[2] = {name_, nullptr};
    QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool WaitForUi(const std::function<bool()>& predicate, std::chrono::milliseconds deadline) {
    return QTest::qWaitFor(predicate, static_cast<int>(deadline.count()));
}

ModalScript::ModalScript(std::deque<Step> steps) : steps_(std::move(steps)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
}

ModalScript::~ModalScript() = default;

void ModalScript::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    // A dialog is handled once; the next one is a new object (the old is gone).
    if (modal == nullptr || steps_.empty() || (lastHandled_ && lastHandled_ == modal) ||
        !modal->isVisible()) {
        return;
    }
    lastHandled_ = modal;
    Step step = std::move(steps_.front());
    steps_.pop_front();
    ++ran_;
    step(modal);
}

}  // namespace brindle::test
