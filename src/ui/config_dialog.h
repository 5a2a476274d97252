// The configuration dialog: the five settings in one modal window.
#pragma once

#include <QDialog>
#include <functional>

#include "base/settings.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace brindle {

class CConfigDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CConfigDialog(QWidget* parent = nullptr);

    // The dialog's values: they fill the fields when it is shown, and OK
    // takes the fields' texts back into them. Esc and the close box leave them.
    AppSettings values;

    // Shows the dialog modally with `values` in its fields; returns the exec() code.
    int ShowModal();

    [[nodiscard]] QLineEdit* serverUrlEdit() const { return serverUrl_; }
    [[nodiscard]] QLineEdit* userNameEdit() const { return userName_; }
    [[nodiscard]] QLineEdit* passwordEdit() const { return password_; }
    [[nodiscard]] QLineEdit* sharedDirectoryEdit() const { return sharedDirectory_; }
    [[nodiscard]] QComboBox* connectionCombo() const { return connection_; }
    [[nodiscard]] QPushButton* okButton() const { return ok_; }
    [[nodiscard]] QPushButton* browseButton() const { return browse_; }

    // What "Browse..." asks for a folder (QFileDialog::getExistingDirectory;
    // tests replace it). An empty answer leaves the field as it was.
    void SetDirectoryChooser(std::function<QString(QWidget*, const QString&)> chooser) {
        chooseDirectory_ = std::move(chooser);
    }
    // "Browse...": puts the chosen folder, ending in '/', into the field.
    void BrowseSharedDirectory();

  public slots:
    void accept() override;

  private:
    QPushButton* ok_ = nullptr;
    QLineEdit* serverUrl_ = nullptr;
    QLineEdit* userName_ = nullptr;
    QLineEdit* sharedDirectory_ = nullptr;
    QLineEdit* password_ = nullptr;
    QComboBox* connection_ = nullptr;
    QPushButton* browse_ = nullptr;
    std::function<QString(QWidget*, const QString&)> chooseDirectory_;
};

// The connection suggestions as the dialog's sorted list shows them: the
// empty item first, then the texts in case-insensitive order.
QStringList SortedConnectionItems();

}  // namespace brindle
