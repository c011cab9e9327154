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

namespace {

// Characters a terminal acts on instead of showing: C0 and C1 controls (U+009B starts an escape sequence
// on many terminals) and DEL.
bool isControl(ushort code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

// Characters that reorder or break the text around them: bidirectional marks, embeddings, overrides and
// isolates, and the line and paragraph separators.
bool isLayoutControl(ushort code)
{
    return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E)
        || (code >= 0x2066 && code <= 0x2069);
}

} // namespace

QString printableText(const QString& text)
{
    int length = text.size();
    while (length > 0 && text[length - 1].unicode() == 0)
        --length;
    QString printable;
    for (int index = 0; index < length; ++index) {
        const ushort code = text[index].unicode();
        if (isControl(code))
            printable += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else if (isLayoutControl(code))
            printable += QStringLiteral("\\u{%1}").arg(code, 4, 16, QLatin1Char('0'));
        else
            printable += text[index];
    }
    return printable;
}

QString printableLines(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = printableText(line);
    return lines.join(QLatin1Char('\n'));
}
