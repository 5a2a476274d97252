// The about box: the icon and the program's name and version. No buttons;
// Enter, Esc and the close box close it.
#pragma once

#include <QDialog>

namespace brindle {

class CAboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDialog(const QIcon& icon, QWidget* parent = nullptr);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace brindle
