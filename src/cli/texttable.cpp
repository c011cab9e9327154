#include "texttable.h"

#include <algorithm>

TextTable::TextTable(const QStringList& header)
{
    rows.append(header);
}

void TextTable::addRow(const QStringList& cells)
{
    rows.append(cells);
}

QString TextTable::render() const
{
    QVector<int> widths;
    for (const QStringList& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));
    }
    QStringList lines;
    for (const QStringList& row : rows) {
        QString line;
        for (int column = 0; column < row.size(); ++column) {
            if (column + 1 < row.size())
                line += row[column].leftJustified(widths[column]) + QStringLiteral("  ");
            else
                line += row[column];
        }
        lines.append(line);
    }
    return lines.join(QLatin1Char('\n'));
}

QString printableText(const QString& text)
{
    int length = text.size();
    while (length > 0 && text[length - 1].unicode() == 0)
        --length;
    QString printable;
    for (int index = 0; index < length; ++index) {
        const ushort code = text[index].unicode();
        if (code < 0x20 || code == 0x7F)
            printable += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            printable += text[index];
    }
    return printable;
}
