#include "ui/preferences_dialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <limits>

#include "ui/dialog_units.h"
#include "ui/window_texts.h"

namespace brindle {

namespace {

// The rate limits fit an int; the slots always do.
static_assert(kMaxRateLimitKiB <= std::numeric_limits<int>::max());

int ClampToRange(long long value, const QSpinBox& spin) {
    return static_cast<int>(std::clamp<long long>(value, spin.minimum(), spin.maximum()));
}

}  // namespace

CPreferencesDialog::CPreferencesDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kPreferencesTitle));
    const DialogUnits du(*this);
    setFixedSize(du.Size(227, 136));

    auto* group = new QGroupBox(QString::fromUtf8(kPreferencesTitle), this);
    group->setGeometry(du.Rect(5, 5, 215, 125));

    // Created in the order the Tab key visits them: the fields top to bottom,
    // then OK and Cancel.
    auto row = [&](const char* text, int y, int minimum, int maximum) {
        auto* label = new QLabel(QString::fromUtf8(text), this);
        label->setGeometry(du.Rect(15, y, 110, 12));
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        auto* spin = new QSpinBox(this);
        spin->setGeometry(du.Rect(130, y, 80, 12));
        spin->setRange(minimum, maximum);
        spin->setAlignment(Qt::AlignRight);
        label->setBuddy(spin);
        return spin;
    };
    uploadSlots_ = row(kUploadSlotsLabel, 20, 1, static_cast<int>(kMaxUploadSlots));
    const int maxRate = static_cast<int>(kMaxRateLimitKiB);
    uploadLimit_ = row(kUploadLimitLabel, 38, 0, maxRate);
    downloadLimit_ = row(kDownloadLimitLabel, 56, 0, maxRate);
    for (QSpinBox* limit : {uploadLimit_, downloadLimit_}) {
        limit->setSpecialValueText(QString::fromUtf8(kNoLimitText));  // shown for 0
        limit->setGroupSeparatorShown(true);
    }
    notifications_ = new QCheckBox(QString::fromUtf8(kNotificationsCheck), this);
    notifications_->setGeometry(du.Rect(15, 75, 195, 10));
    portMapping_ = new QCheckBox(QString::fromUtf8(kPortMappingCheck), this);
    portMapping_->setGeometry(du.Rect(15, 89, 195, 10));

    ok_ = new QPushButton(QString::fromUtf8(kOkButton), this);
    ok_->setGeometry(du.Rect(15, 108, 95, 14));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QString::fromUtf8(kCancelButton), this);
    cancel_->setGeometry(du.Rect(115, 108, 95, 14));
    cancel_->setAutoDefault(false);

    setTabOrder(uploadSlots_, uploadLimit_);
    setTabOrder(uploadLimit_, downloadLimit_);
    setTabOrder(downloadLimit_, notifications_);
    setTabOrder(notifications_, portMapping_);
    setTabOrder(portMapping_, ok_);
    setTabOrder(ok_, cancel_);
    connect(ok_, &QPushButton::clicked, this, &CPreferencesDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &CPreferencesDialog::reject);
}

int CPreferencesDialog::ShowModal() {
    uploadSlots_->setValue(ClampToRange(static_cast<long long>(values.uploadSlots), *uploadSlots_));
    uploadLimit_->setValue(ClampToRange(values.uploadLimitKiB, *uploadLimit_));
    downloadLimit_->setValue(ClampToRange(values.downloadLimitKiB, *downloadLimit_));
    notifications_->setChecked(values.notifications);
    portMapping_->setChecked(values.portMapping);
    uploadSlots_->setFocus();
    uploadSlots_->selectAll();
    return exec();
}

void CPreferencesDialog::accept() {
    // A number typed but not yet confirmed counts as entered.
    for (QSpinBox* spin : {uploadSlots_, uploadLimit_, downloadLimit_}) {
        spin->interpretText();
    }
    values.uploadSlots = static_cast<std::size_t>(uploadSlots_->value());
    values.uploadLimitKiB = uploadLimit_->value();
    values.downloadLimitKiB = downloadLimit_->value();
    values.notifications = notifications_->isChecked();
    values.portMapping = portMapping_->isChecked();
    QDialog::accept();
}

}  // namespace brindle
