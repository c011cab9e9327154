#include "ops/record/sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>

struct Sha256::Context {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256()
    : context(std::make_unique<Context>())
{
    // Failing here means the library could not allocate or has no SHA-256: nothing the caller can mend.
    if (!context->md || EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

Sha256::~Sha256() = default;

void Sha256::add(const uchar* data, qint64 length)
{
    // EVP takes a size_t, but one call per gibibyte keeps each piece well inside any platform's limits.
    constexpr qint64 piece = qint64(1) << 30;
    while (length > 0) {
        const qint64 now = std::min(length, piece);
        EVP_DigestUpdate(context->md, data, size_t(now));
        data += now;
        length -= now;
    }
}

QByteArray Sha256::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    EVP_DigestFinal_ex(context->md, digest, &digestLength);
    return QByteArray(reinterpret_cast<const char*>(digest), int(digestLength)).toHex();
}

QByteArray Sha256::hex(const uchar* data, qint64 length)
{
    Sha256 digest;
    digest.add(data, length);
    return digest.finishHex();
}
