#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Human output: a header and rows in left-aligned columns two blanks apart, the last column unpadded.
class TextTable {
public:
    explicit TextTable(const QStringList& header);

    void addRow(const QStringList& cells);
    QString render() const;

private:
    QVector<QStringList> rows;
};

// A cell text fit for a terminal line: the zero bytes that pad a name or version are dropped from its
// end; any other control character is shown as \xHH and any character that reorders text (bidirectional
// formatting, line separators) as \u{HHHH}, so that a crafted image can neither break the columns nor
// rewrite or reorder what the terminal shows.
QString printableText(const QString& text);

// A message of one or more lines fit for a terminal: each line as printableText shows it, the line breaks
// kept.
QString printableLines(const QString& text);
