#include "base/ui_ports.h"

namespace brindle {

namespace {

class NullProgressWindow : public IProgressWindow {
  public:
    void SetStatus(const std::string&) override {}
    void SetRange(long long) override {}
    void SetStep(long long) override {}
    void StepIt() override {}
    void Hide() override {}
};

}  // namespace

std::unique_ptr<IProgressWindow> NullProgressFactory::OpenProgress() {
    return std::make_unique<NullProgressWindow>();
}

}  // namespace brindle
