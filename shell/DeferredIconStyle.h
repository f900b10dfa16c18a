#pragma once
// The program's style: the desktop's style, except that the menu bar's overflow arrow is decoded
// when first drawn instead of when the menu bar is made. Decoding it loads Qt's image format
// plugins (and a JPEG library) at every start, for an arrow that shows only when the menu does
// not fit in the window.

#include <QProxyStyle>

class DeferredIconStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Over a new instance of the style named `baseKey` (QStyleFactory's keys; the desktop's
    // style where there is no such style): the style the application would have had.
    explicit DeferredIconStyle(const QString& baseKey);

    QIcon standardIcon(StandardPixmap icon, const QStyleOption* option = nullptr,
                       const QWidget* widget = nullptr) const override;
};
