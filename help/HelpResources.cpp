#include "HelpResources.h"

#include <QWidget>
#include <QWindow>

#include <QtCore/qglobal.h>

void InitOrvaneResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(orvane);
        return true;
    }();
    (void)registered;
}

QMargins ExpectedFrameMargins(const QWidget* window) {
    if (const QWindow* own = window->windowHandle();
        own != nullptr && !own->frameMargins().isNull())
        return own->frameMargins();
    const QWidget* owner =
        window->parentWidget() != nullptr ? window->parentWidget()->window() : nullptr;
    if (owner != nullptr && owner->windowHandle() != nullptr)
        return owner->windowHandle()->frameMargins();
    return {};
}
