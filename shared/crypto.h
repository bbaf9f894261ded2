#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

struct evp_md_ctx_st;

// The programs' one door to OpenSSL's libcrypto: SHA-256 (on the CPU's SHA instructions where
// it has them) and Ed25519 (RFC 8032, pure) in the formats the openssl command line reads and
// writes. An object is one running SHA-256; the static functions do the rest.
class Crypto
{
public:
    static constexpr int publicKeySize = 32;
    static constexpr int signatureSize = 64;

    Crypto();
    ~Crypto();
    Crypto(const Crypto &) = delete;
    Crypto &operator=(const Crypto &) = delete;

    // Starts the SHA-256 afresh.
    void reset();
    void addData(QByteArrayView data);
    // The 32 bytes of the SHA-256 of everything added since the last reset.
    QByteArray result() const;

    static QByteArray sha256(QByteArrayView data);
    // The SHA-256 of the file read a large block at a time; empty when it cannot be read.
    static QByteArray fileSha256(const QString &path);

    // Whether signature is the Ed25519 signature of message by the raw 32-byte publicKey. A key of
    // small order verifies nothing.
    static bool verify(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature);
    // Whether the raw 32 bytes encode a point of small order (the neutral point, all zeros, and
    // the other five of order 2, 4 or 8, in any encoding): with such a key, a forged signature
    // made of zeros verifies up to a quarter of all messages, so it is no key at all.
    static bool isSmallOrder(QByteArrayView publicKey);

    // The 64-byte Ed25519 signature of message by a PEM private key (as "openssl genpkey
    // -algorithm ed25519" writes it); empty when the key is not one.
    static QByteArray sign(QByteArrayView privateKeyPem, QByteArrayView message);

    // The raw 32-byte public half of a PEM private key; empty when the key is not an Ed25519 one.
    static QByteArray publicKey(QByteArrayView privateKeyPem);

    struct KeyPair
    {
        QByteArray privateKeyPem; // PKCS#8, unencrypted
        QByteArray publicKey; // the raw 32 bytes
    };
    // A new Ed25519 key pair; both empty when it could not be made.
    static KeyPair newKeyPair();

private:
    evp_md_ctx_st *context;
};
