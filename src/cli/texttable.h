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
// end, and any other control character is shown as \xHH so that it cannot break the columns.
QString printableText(const QString& text);
