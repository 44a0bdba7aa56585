#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace app {

// Where the window's outer frame goes on its first showing: centred on the desktop (the
// bounding rectangle of all screens), integer halves truncated toward zero, never left of or
// above the desktop's origin. Nothing clamps the right or bottom edge.
inline QPoint firstPlacement(const QRect &desktop, const QSize &outer)
{
    int left = desktop.left() + desktop.width() / 2 - outer.width() / 2;
    int top = desktop.top() + desktop.height() / 2 - outer.height() / 2;
    if (left < desktop.left())
        left = desktop.left();
    if (top < desktop.top())
        top = desktop.top();
    return {left, top};
}

} // namespace app
