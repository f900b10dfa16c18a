#include "DeferredIconStyle.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPointer>

namespace {

// An icon of the base style, decoded from it at the first question about its pixels.
class DeferredStandardIcon final : public QIconEngine {
public:
    DeferredStandardIcon(QStyle* base, QStyle::StandardPixmap which) : base_(base), which_(which) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        Decoded().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Decoded().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override {
        return Decoded().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return Decoded().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return Decoded().availableSizes(mode, state);
    }
    // A standard icon of the style is there; whether it is need not decode it.
    bool isNull() override { return false; }
    QString key() const override { return QStringLiteral("DeferredStandardIcon"); }
    QIconEngine* clone() const override { return new DeferredStandardIcon(*this); }

private:
    const QIcon& Decoded() {
        if (!decoded_) {
            // The base style goes with the application's style; a later one answers then.
            QStyle* style = base_ ? base_.data() : QApplication::style();
            icon_ = style->standardIcon(which_);
            decoded_ = true;
        }
        return icon_;
    }

    QPointer<QStyle> base_;
    QStyle::StandardPixmap which_;
    bool decoded_ = false;
    QIcon icon_;
};

} // namespace

DeferredIconStyle::DeferredIconStyle(const QString& baseKey) : QProxyStyle(baseKey) {}

QIcon DeferredIconStyle::standardIcon(StandardPixmap icon, const QStyleOption* option,
                                      const QWidget* widget) const {
    if (icon == SP_ToolBarHorizontalExtensionButton)
        return QIcon(new DeferredStandardIcon(baseStyle(), icon));
    return QProxyStyle::standardIcon(icon, option, widget);
}
