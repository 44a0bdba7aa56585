#include "app/xscreensaver.h"

#include <QGuiApplication>

#ifdef VINTRA_HAVE_XSS
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#endif

namespace app {

void suspendXScreenSaver([[maybe_unused]] bool suspend)
{
#ifdef VINTRA_HAVE_XSS
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return;
    int eventBase = 0, errorBase = 0;
    if (!XScreenSaverQueryExtension(display, &eventBase, &errorBase))
        return;
    XScreenSaverSuspend(display, suspend ? True : False);
    XFlush(display);
#endif
}

} // namespace app
