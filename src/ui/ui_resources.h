// The pictures the program carries: the application icon and the splash picture.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace brindle {

// Registers the compiled-in resources; call once after the application object exists.
void InitUiResources();
// The application icon, at every size it was drawn in.
QIcon AppIcon();
// The 492 x 276 splash picture.
QPixmap SplashPicture();

}  // namespace brindle
