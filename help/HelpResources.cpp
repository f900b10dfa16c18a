#include "HelpResources.h"

#include <QtCore/qglobal.h>

void InitOrvaneResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(orvane);
        return true;
    }();
    (void)registered;
}
