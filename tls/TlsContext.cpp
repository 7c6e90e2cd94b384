#include "tls/TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// A session is resumed only by the server run that made it.
constexpr unsigned char kSessionContext[] = "tarvelo-ftp";

QByteArray OpenSslReason()
{
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = ERR_reason_error_string(code);
    return reason ? QByteArray(reason) : QByteArray("not a PEM file");
}

// Why the file cannot serve: empty when it can be opened for reading.
QByteArray OpenProblem(const char* what, const QByteArray& path, const char* setting)
{
    FILE* file = std::fopen(path.constData(), "r");
    if (file) {
        std::fclose(file);
        return {};
    }
    if (errno == ENOENT) {
        return QByteArray("The TLS ") + what + " file is missing: " + path + " (set " + setting +
               " to your PEM file, or clear it to serve a certificate made here).";
    }
    return QByteArray("The TLS ") + what + " file cannot be read: " + path + ": " + std::strerror(errno) + ".";
}

QByteArray FingerprintOf(const X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_digest(certificate, EVP_sha256(), digest, &length))
        return {};
    return QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex(':').toUpper();
}

} // namespace

std::shared_ptr<const CTlsContext> CTlsContext::Load(const QByteArray& certificateFile, const QByteArray& keyFile,
                                                     QByteArray* error)
{
    *error = OpenProblem("certificate", certificateFile, "TlsCertificate");
    if (error->isEmpty())
        *error = OpenProblem("private key", keyFile, "TlsPrivateKey");
    if (!error->isEmpty())
        return nullptr;
    // SECURITY: a key others can read is a key others may have; it is not served.
    struct stat info;
    if (::stat(keyFile.constData(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        *error = "The TLS private key file is readable by other users: " + keyFile +
                 " (make it yours alone: chmod 600, then start again).";
        return nullptr;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    std::shared_ptr<CTlsContext> context(new CTlsContext(ctx));
    if (!ctx) {
        *error = "TLS is not available: " + OpenSslReason() + ".";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_security_level(ctx, 2);
    // Clients end the control connection without close_notify as a rule; an upload's end is the
    // client's to vouch for, as with plain FTP.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                 SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    // The key first: a certificate that does not match it then drops it, which the check below tells.
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.constData(), SSL_FILETYPE_PEM) != 1) {
        *error = "The TLS private key file holds no usable key: " + keyFile + ": " + OpenSslReason() + ".";
        return nullptr;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.constData()) != 1) {
        *error =
            "The TLS certificate file holds no usable certificate: " + certificateFile + ": " + OpenSslReason() + ".";
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        *error = "The TLS private key " + keyFile + " does not match the certificate " + certificateFile +
                 " (name the key the certificate was made with).";
        return nullptr;
    }
    X509* certificate = SSL_CTX_get0_certificate(ctx);
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0) {
        *error = "The TLS certificate has expired: " + certificateFile +
                 " (renew it, or remove it and the key to have new ones made).";
        return nullptr;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate)) >= 0) {
        *error = "The TLS certificate is not valid yet: " + certificateFile + " (check the clock).";
        return nullptr;
    }
    context->m_strFingerprint = FingerprintOf(certificate);
    return context;
}

CTlsContext::~CTlsContext()
{
    SSL_CTX_free(m_ctx);
}
