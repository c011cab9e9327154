#include "imagebuilder.h"
#include "ops/blockinfo.h"
#include "ops/crc32.h"

#include <QtTest>

class TestBlockInfo : public QObject {
    Q_OBJECT

private slots:
    void crcCheckValue();
};

void TestBlockInfo::crcCheckValue()
{
    Crc32 crc;
    QCOMPARE(crc.compute(reinterpret_cast<const uchar*>("123456789"), 9), 0x340BC6D9u);
}

QTEST_GUILESS_MAIN(TestBlockInfo)
#include "tst_blockinfo.moc"
