// The preferences dialog: upload slots, the two rate limits and desktop
// notifications, in one modal window.
#pragma once

#include <QDialog>

#include "base/preferences.h"

class QCheckBox;
class QPushButton;
class QSpinBox;

namespace brindle {

class CPreferencesDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CPreferencesDialog(QWidget* parent = nullptr);

    // The dialog's values: they fill the fields when it is shown, and OK takes
    // the fields back into them. Cancel, Esc and the close box leave them.
    Preferences values;

    // Shows the dialog modally with `values` in its fields; returns the exec() code.
    int ShowModal();

    [[nodiscard]] QSpinBox* uploadSlotsSpin() const { return uploadSlots_; }
    [[nodiscard]] QSpinBox* uploadLimitSpin() const { return uploadLimit_; }
    [[nodiscard]] QSpinBox* downloadLimitSpin() const { return downloadLimit_; }
    [[nodiscard]] QCheckBox* notificationsCheck() const { return notifications_; }
    [[nodiscard]] QCheckBox* portMappingCheck() const { return portMapping_; }
    [[nodiscard]] QPushButton* okButton() const { return ok_; }
    [[nodiscard]] QPushButton* cancelButton() const { return cancel_; }

  public slots:
    void accept() override;

  private:
    QSpinBox* uploadSlots_ = nullptr;
    QSpinBox* uploadLimit_ = nullptr;
    QSpinBox* downloadLimit_ = nullptr;
    QCheckBox* notifications_ = nullptr;
    QCheckBox* portMapping_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace brindle
