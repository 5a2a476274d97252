#include "ui/page_layout.h"

#include <QWidget>

#include <algorithm>

namespace brindle {

PageArea PageArea::Of(const QRect& client, int tabHeight) {
    PageArea area;
    area.left = client.left() + 5;
    area.top = client.top() + tabHeight + 5;
    area.right = client.left() + client.width() - 5;
    area.bottom = client.top() + client.height() - 5;
    return area;
}

void PlaceControl(QWidget* control, const QRect& place) {
    control->setGeometry(place.x(), place.y(), std::max(0, place.width()),
                         std::max(0, place.height()));
}

int ListColumnWidth(int clientWidth, int listFrameWidth, int columns) {
    const int W = clientWidth - 2 * listFrameWidth;
    return (W - 10) / columns;
}

}  // namespace brindle
