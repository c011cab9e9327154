#include "imagebuilder.h"
#include "model/flashimage.h"

#include <QTemporaryDir>
#include <QtTest>

class TestFlashImage : public QObject {
    Q_OBJECT

private slots:
    void loadsTwoDmhs();
};

void TestFlashImage::loadsTwoDmhs()
{
    QTemporaryDir dir;
    TestDmh first;
    first.entries = { testEntry(1), testEntry(2), testEntry(3) };
    TestDmh second;
    second.flashSize = 0x2000;
    second.entries = { testEntry(4), testEntry(5), testEntry(6), testEntry(7), testEntry(8) };
    const QString path = dir.filePath("two.bin");
    QVERIFY(ImageBuilder(0x2000).dmh(0x10, first).dmh(0x1000, second).writeTo(path));
    FlashImage image;
    QVERIFY2(image.load(path.toStdWString()), image.lastError().constData());
    QCOMPARE(image.blockCount(), 8);
}

QTEST_GUILESS_MAIN(TestFlashImage)
#include "tst_flashimage.moc"
