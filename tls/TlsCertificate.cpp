#include "tls/TlsCertificate.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr long kValiditySeconds = 10L * 365 * 24 * 60 * 60;
constexpr int kSerialBits = 127;

template <typename T, void (*Free)(T*)> struct Deleter
{
    void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

bool AddExtension(X509* certificate, int nid, const QByteArray& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData());
    const bool added = extension && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

Certificate MakeCertificate(EVP_PKEY* key, const QByteArrayList& hostNames, const QByteArrayList& addresses)
{
    Certificate certificate(X509_new());
    Number serial(BN_new());
    if (!certificate || !serial || !BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())))
        return nullptr;
    QByteArrayList names;
    for (const QByteArray& host : hostNames)
        names << "DNS:" + host;
    for (const QByteArray& address : addresses)
        names << "IP:" + address;
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    const QByteArray commonName = hostNames.value(0, "localhost");
    const bool made =
        X509_set_version(certificate.get(), X509_VERSION_3) &&
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds) &&
        X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Tarvelo FTP Server"), -1, -1, 0) &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.constData()), -1, -1, 0) &&
        X509_set_issuer_name(certificate.get(), subject) && X509_set_pubkey(certificate.get(), key) &&
        AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") &&
        AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature") &&
        AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth") &&
        AddExtension(certificate.get(), NID_subject_key_identifier, "hash") &&
        (names.isEmpty() || AddExtension(certificate.get(), NID_subject_alt_name, names.join(','))) &&
        X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    return made ? std::move(certificate) : nullptr;
}

// Creates the file (never replacing one) and writes it; false with errno or OpenSSL's error.
template <typename Write> bool WriteNewFile(const QByteArray& path, mode_t mode, Write write)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    FILE* file = ::fdopen(fd, "w");
    if (!file) {
        ::close(fd);
        ::unlink(path.constData());
        return false;
    }
    const bool written = write(file) == 1;
    if (std::fclose(file) != 0 || !written) {
        ::unlink(path.constData());
        return false;
    }
    return true;
}

} // namespace

bool CreateSelfSignedCertificate(const QByteArray& certificateFile, const QByteArray& keyFile,
                                 const QByteArrayList& hostNames, const QByteArrayList& addresses, QByteArray* error)
{
    PKey key(EVP_EC_gen("P-256"));
    Certificate certificate = key ? MakeCertificate(key.get(), hostNames, addresses) : nullptr;
    if (!certificate) {
        const char* reason = ERR_reason_error_string(ERR_get_error());
        *error = QByteArray("A TLS certificate could not be made: ") + (reason ? reason : "no key") + ".";
        return false;
    }
    const auto failed = [&](const QByteArray& path) {
        *error = "A TLS certificate could not be made: " + path + ": " + std::strerror(errno) + ".";
        return false;
    };
    if (!WriteNewFile(keyFile, 0600, [&](FILE* file) {
            return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        }))
        return failed(keyFile);
    if (!WriteNewFile(certificateFile, 0644, [&](FILE* file) { return PEM_write_X509(file, certificate.get()); })) {
        const int reason = errno;
        ::unlink(keyFile.constData()); // made just now, and of no use without its certificate
        errno = reason;
        return failed(certificateFile);
    }
    return true;
}
