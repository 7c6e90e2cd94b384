#pragma once

#include <QByteArray>

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

// The OpenSSL context of one server run: TLS 1.2 and 1.3 only, OpenSSL's default ciphers at
// security level 2, no renegotiation, no compression, and one session cache that the control and
// data connections of every client share, so that a data connection can resume its control
// connection's session. Made on the host's thread; after that any thread may use it (OpenSSL
// guards the context's session cache and reference counts itself), read-only.
class CTlsContext
{
public:
    // A context serving the PEM certificate chain and key of the two files (the same file may hold
    // both). Null with *error, a monitor line saying which file is wrong and what to do, when a
    // file is missing or unreadable, the certificate has expired or is not valid yet, the key does
    // not match it, or the key file is readable by other users.
    static std::shared_ptr<const CTlsContext> Load(const QByteArray& certificateFile, const QByteArray& keyFile,
                                                   QByteArray* error);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    SSL_CTX* Get() const { return m_ctx; }
    // The SHA-256 fingerprint of the served certificate as clients show it: "AB:01:...".
    const QByteArray& Fingerprint() const { return m_strFingerprint; }

private:
    explicit CTlsContext(SSL_CTX* ctx) : m_ctx(ctx) {}

    SSL_CTX* m_ctx;
    QByteArray m_strFingerprint;
};
