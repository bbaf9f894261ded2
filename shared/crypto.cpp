#include "crypto.h"

#include <QFile>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

const unsigned char *bytes(QByteArrayView data)
{
    return reinterpret_cast<const unsigned char *>(data.data());
}

Key privateKey(QByteArrayView pem)
{
    const Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

QByteArray rawPublicKey(const EVP_PKEY *key)
{
    QByteArray publicKey(Crypto::publicKeySize, Qt::Uninitialized);
    size_t length = size_t(publicKey.size());
    if (!key
        || EVP_PKEY_get_raw_public_key(
               key, reinterpret_cast<unsigned char *>(publicKey.data()), &length)
            != 1
        || length != size_t(Crypto::publicKeySize))
        return {};
    return publicKey;
}

} // namespace

Crypto::Crypto()
    : context(EVP_MD_CTX_new())
{
    reset();
}

Crypto::~Crypto()
{
    EVP_MD_CTX_free(context);
}

void Crypto::reset()
{
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
}

void Crypto::addData(QByteArrayView data)
{
    EVP_DigestUpdate(context, data.data(), size_t(data.size()));
}

QByteArray Crypto::result() const
{
    // Finishing consumes the context, so a copy is finished and the running one can go on.
    const Context copy(EVP_MD_CTX_new());
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (!copy || !EVP_MD_CTX_copy_ex(copy.get(), context)
        || !EVP_DigestFinal_ex(
            copy.get(), reinterpret_cast<unsigned char *>(digest.data()), &length))
        return {};
    digest.truncate(int(length));
    return digest;
}

QByteArray Crypto::sha256(QByteArrayView data)
{
    Crypto hash;
    hash.addData(data);
    return hash.result();
}

QByteArray Crypto::fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Large blocks keep the hashing, not the reading, the bottleneck.
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    Crypto hash;
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        if (got < 0)
            return {};
        if (got == 0)
            return hash.result();
        hash.addData(QByteArrayView(block.constData(), got));
    }
}

bool Crypto::isSmallOrder(QByteArrayView publicKey)
{
    // The y coordinates of the eight points whose order divides 8, little-endian as encoded:
    // 0 and 1, p - 1, the two of order 8, and p and p + 1, which also stand for 0 and 1. The
    // encoding's top bit is the sign of x, which does not change the order.
    static const char *const small[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    if (publicKey.size() != publicKeySize)
        return false;
    QByteArray y = publicKey.toByteArray();
    y[publicKeySize - 1] = char(y[publicKeySize - 1] & 0x7f);
    return std::any_of(std::begin(small), std::end(small),
        [&y](const char *point) { return QByteArray::fromHex(point) == y; });
}

bool Crypto::verify(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature)
{
    if (publicKey.size() != publicKeySize || signature.size() != signatureSize
        || isSmallOrder(publicKey))
        return false;
    const Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, bytes(publicKey), size_t(publicKey.size())));
    const Context context(EVP_MD_CTX_new());
    return key && context
        && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(context.get(), bytes(signature), size_t(signature.size()),
               bytes(message), size_t(message.size()))
        == 1;
}

QByteArray Crypto::sign(QByteArrayView privateKeyPem, QByteArrayView message)
{
    const Key key = privateKey(privateKeyPem);
    const Context context(EVP_MD_CTX_new());
    if (!key || !context
        || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return {};
    QByteArray signature(signatureSize, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
            bytes(message), size_t(message.size()))
            != 1
        || length != size_t(signatureSize))
        return {};
    return signature;
}

Crypto::KeyPair Crypto::newKeyPair()
{
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    const Bio pem(BIO_new(BIO_s_mem()));
    const QByteArray publicKey = rawPublicKey(key.get());
    if (publicKey.isEmpty() || !pem
        || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
            != 1)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    return { QByteArray(data, qsizetype(size)), publicKey };
}

QByteArray Crypto::publicKey(QByteArrayView privateKeyPem)
{
    return rawPublicKey(privateKey(privateKeyPem).get());
}
