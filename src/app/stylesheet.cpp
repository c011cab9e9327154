#include "stylesheet.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QStyle>
#include <QStyleFactory>

#include <memory>

void applyStyleSheet(const QString& path)
{
    // A sheet that does not open counts as empty; the window then keeps the platform's look.
    QByteArray bytes;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        file.close();
    }
    const int length = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    qApp->setStyleSheet(QString::fromLatin1(bytes.constData(), length));
}

void applyLightPalette()
{
    // Fusion's palette, whatever style draws the widgets: it is light on every desktop and the same on
    // every platform.
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
    if (fusion)
        QApplication::setPalette(fusion->standardPalette());
}
