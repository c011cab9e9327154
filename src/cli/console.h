#pragma once

#include <QJsonObject>
#include <QString>

// Where the command line's output goes: results to stdout, failures to stderr, always as UTF-8, so that
// pipelines read the same bytes whatever the locale.
class Console {
public:
    void printOut(const QString& text) const;
    void printError(const QString& text) const;
    void printJson(const QJsonObject& document) const;
};
