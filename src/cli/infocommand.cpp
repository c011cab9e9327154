#include "imagedigests.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/flashimage.h"
#include "ops/inspect/layoutcheck.h"
#include "ops/record/sha256.h"

#include <QJsonArray>

using CommandSupport::dmhJson;
using CommandSupport::hexText;
using CommandSupport::imageSummaryJson;

namespace {

CommandResult runInfo(const FlashImage& image, const ParsedArguments& arguments)
{
    CommandResult result;
    result.details = imageSummaryJson(ImageSummary::of(image));
    const QString version = SoftwareVersion::displayText(image.softwareVersion());

    TextTable summary({ QStringLiteral("Image Size:"), QString::number(image.imageSize()) });
    summary.addRow({ QStringLiteral("SDRAM Size:"), QString::number(image.sdramSize()) });
    summary.addRow({ QStringLiteral("Flash Size:"), QString::number(image.flashSize()) });
    summary.addRow({ QStringLiteral("Block Number:"), QString::number(image.blockCount()) });
    summary.addRow({ QStringLiteral("Software Version:"), printableText(version) });
    if (arguments.isSet(CommonOptions::hashes().longName)) {
        const QString sha256 = QString::fromLatin1(ImageDigests::imageSha256(image));
        summary.addRow({ QStringLiteral("SHA-256:"), sha256 });
        result.details.insert(QStringLiteral("sha256"), sha256);
    }

    TextTable dmhTable({ QStringLiteral("DMH"), QStringLiteral("Position(hex)"),
        QStringLiteral("Capacity(Bytes)"), QStringLiteral("SDRAM Size"), QStringLiteral("Flash Size"),
        QStringLiteral("Entries"), QStringLiteral("Entries read"), QStringLiteral("Entry size") });
    QJsonArray dmhs;
    const QVector<DmhRecord>& records = image.dmhRecords();
    for (int index = 0; index < records.size(); ++index) {
        const DmhRecord& record = records[index];
        QJsonObject dmh = dmhJson(DmhSide::of(record));
        dmh.insert(QStringLiteral("index"), index);
        dmhs.append(dmh);
        dmhTable.addRow({ QString::number(index), hexText(record.position),
            QString::number(record.dataCapacity), QString::number(record.sdramSize),
            QString::number(record.flashSize), QString::number(record.entryCount),
            QString::number(record.entries.size()), QString::number(record.entrySize) });
    }
    result.details.insert(QStringLiteral("dmhs"), dmhs);
    result.text = summary.render() + QStringLiteral("\n\n") + dmhTable.render();
    // What verify fails on, info reports without failing: the image is still described as it stands.
    for (const LayoutProblem& problem : checkLayout(ImageView::of(image), image.dmhRecords()))
        result.warnings.append(describeLayoutProblem(problem, ImageView::of(image), image.dmhRecords()));
    return result;
}

} // namespace

Command infoCommand()
{
    return CommandSupport::oneImageCommand(QStringLiteral("info"),
        QStringLiteral("Show the image's sizes, block number, software version and DMHs."),
        CommonOptions::exitStatusNote(),
        { { QStringLiteral("hashes"), QChar(), QString(),
            QStringLiteral("Also show the SHA-256 of the whole image.") } },
        runInfo);
}
