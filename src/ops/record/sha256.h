#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

// SHA-256 through OpenSSL's libcrypto, which uses the processor's SHA instructions where it has them.
// Lowercase hex is the form every output of the program shows.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Feeds any length, 2 GiB and beyond; the library takes it in pieces of its own size.
    void add(const uchar* data, qint64 length);
    // The 64 lowercase hex digits of everything added. Ends this digest: add nothing afterwards.
    QByteArray finishHex();

    // The lowercase hex SHA-256 of `length` bytes at `data`.
    static QByteArray hex(const uchar* data, qint64 length);

private:
    struct Context;
    std::unique_ptr<Context> context;
};
