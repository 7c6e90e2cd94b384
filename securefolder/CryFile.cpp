#include "securefolder/CryFile.h"

#include "platform/UniqueFd.h"

#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kDerivedLength = 64;
constexpr std::size_t kChunkLength = 64 * 1024;
// Written output is handed to the disk every this many bytes, while the rest is still being
// encrypted, so that the sync before the commit has only the tail left to wait for.
constexpr qint64 kWritebackStep = 8 << 20;

// The leading dot keeps a leftover out of both passes' listings.
constexpr char kHiddenName[] = ".tarvelo-cry-";

// The output beside the target, written unnamed (O_TMPFILE) so that a pass killed midway leaves
// nothing behind. Commit() names it under a fresh hidden name and renames that over the target:
// only a crash between the two leaves a file, a complete one. On file systems without unnamed
// files it is a hidden named file from the start, removed unless committed but left by a kill.
class CTempOutput
{
public:
    explicit CTempOutput(const QByteArray& targetPath) : m_target(targetPath)
    {
        const qsizetype slash = targetPath.lastIndexOf('/');
        m_folder = slash < 0 ? QByteArray(".") : targetPath.left(slash);
        // Without /proc the unnamed file could not be given a name.
        if (::access("/proc/self/fd", F_OK) == 0) {
            m_fd.Reset(::open(m_folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
            if (m_fd.IsValid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
                return;
        }
        m_path = m_folder + '/' + kHiddenName + "XXXXXX";
        m_fd.Reset(mkostemp(m_path.data(), O_CLOEXEC));
        m_bNamed = m_fd.IsValid();
    }
    ~CTempOutput()
    {
        m_fd.Reset();
        if (m_bNamed && !m_bCommitted)
            ::unlink(m_path.constData());
    }
    CTempOutput(const CTempOutput&) = delete;
    CTempOutput& operator=(const CTempOutput&) = delete;

    bool IsOpen() const { return m_fd.IsValid(); }
    int Fd() const { return m_fd.Get(); }

    // Makes the data durable, then puts the file in the target's place.
    bool Commit(mode_t mode)
    {
        if (fchmod(m_fd.Get(), mode) != 0 || fsync(m_fd.Get()) != 0 || (!m_bNamed && !Name()))
            return false;
        if (m_fd.Reset() != 0 || ::rename(m_path.constData(), m_target.constData()) != 0)
            return false;
        m_bCommitted = true;
        // The source goes next: the rename must be on disk first, also where the file system does
        // not keep the order of the two by itself (no journal, FAT). A folder that cannot be read,
        // or whose file system cannot sync it, is left to that; any other error fails the file,
        // whose source then stays.
        const CUniqueFd folder(::open(m_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return folder.Get() < 0 || fsync(folder.Get()) == 0 || errno == EINVAL;
    }

private:
    // Links the unnamed file under a hidden name no other file has.
    bool Name()
    {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd.Get());
        for (int tries = 0; tries < 100; ++tries) {
            m_path = m_folder + '/' + kHiddenName + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, m_path.constData(), AT_SYMLINK_FOLLOW) == 0)
                return m_bNamed = true;
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    QByteArray m_target;
    QByteArray m_folder;
    QByteArray m_path; // the hidden name, once there is one
    CUniqueFd m_fd;
    bool m_bNamed = false;
    bool m_bCommitted = false;
};

// The length of the well-formed UTF-8 sequence at path[i] when it is a printable character from
// U+00A0 up, other than a control of writing direction; 0 otherwise.
qsizetype PrintableSequence(const QByteArray& path, qsizetype i)
{
    const auto lead = uchar(path[i]);
    const int length = lead >= 0xc2 && lead <= 0xdf   ? 2
                       : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                      : 0;
    if (length == 0 || i + length > path.size())
        return 0;
    char32_t code = lead & (0x7f >> length);
    for (int k = 1; k < length; ++k) {
        const auto next = uchar(path[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3f);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0xa0, 0x800, 0x10000}; // below: C1 or overlong
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    // Marks and overrides of writing direction reorder what the terminal shows after them.
    const bool direction =
        code == 0x200e || code == 0x200f || (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
    return code >= kLeast[length] && code <= 0x10ffff && !surrogate && !direction ? length : 0;
}

} // namespace

// The path's control characters go out as \xNN. So do those of UTF-8 (U+0080 to U+009F) and every
// byte of no well-formed character, which a lenient or 8-bit terminal could take for a control
// (0x9B, or C0 9B for ESC).
void ReportFileProblem(const char* what, const QByteArray& path, const char* detail)
{
    QByteArray shown;
    for (qsizetype i = 0; i < path.size();) {
        const auto byte = uchar(path[i]);
        const qsizetype printable = byte < 0x80 ? qsizetype(byte >= 0x20 && byte != 0x7f) : PrintableSequence(path, i);
        if (printable == 0) {
            shown += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
            ++i;
        } else {
            shown += path.mid(i, printable);
            i += printable;
        }
    }
    fprintf(stderr, "%starvelo: %s %s: %s\n", isatty(STDERR_FILENO) ? "\r\x1b[K" : "", what, shown.constData(), detail);
}

namespace {

bool WriteAll(int fd, const std::string& data)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= std::size_t(n);
    }
    return true;
}

// Streams the source through the filter into the temporary output, chunk by chunk.
// bytesIn and bytesOut receive what was read and what was written, on Ok; bytesRead follows the
// reading as it goes.
template <typename Cipher, typename Mode>
ECryResult TransformOneFile(const char* what, const QByteArray& sourcePath, const QByteArray& targetPath,
                            const CCryKey& key, std::atomic<qint64>* bytesRead, qint64* bytesIn = nullptr,
                            qint64* bytesOut = nullptr)
{
    if (!key.IsReady())
        return ECryResult::DerivationFailed;

    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below as not a regular file.
    CUniqueFd source(::open(sourcePath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat sourceStat = {};
    if (source.Get() < 0 || fstat(source.Get(), &sourceStat) != 0) {
        ReportFileProblem(what, sourcePath, strerror(errno));
        return ECryResult::Failed;
    }
    if (!S_ISREG(sourceStat.st_mode)) {
        ReportFileProblem(what, sourcePath, "not a regular file");
        return ECryResult::Failed;
    }
    CTempOutput output(targetPath);
    if (!output.IsOpen()) {
        ReportFileProblem(what, targetPath, strerror(errno));
        return ECryResult::Failed;
    }
    qint64 in = 0;
    try {
        Cipher cipher(key.Key(), kCryKeyLength);
        Mode mode(cipher, key.IV());
        std::string produced;
        CryptoPP::StreamTransformationFilter filter(mode, new CryptoPP::StringSink(produced),
                                                    CryptoPP::StreamTransformationFilter::PKCS_PADDING);
        std::vector<CryptoPP::byte> chunk(kChunkLength);
        qint64 out = 0, handed = 0; // handed: the bytes whose writing was started
        for (;;) {
            const ssize_t n = ::read(source.Get(), chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ReportFileProblem(what, sourcePath, strerror(errno));
                return ECryResult::Failed;
            }
            if (n == 0)
                break;
            in += n;
            if (bytesRead)
                bytesRead->store(in, std::memory_order_relaxed);
            filter.Put(chunk.data(), std::size_t(n));
            out += qint64(produced.size());
            if (!WriteAll(output.Fd(), produced)) {
                ReportFileProblem(what, targetPath, strerror(errno));
                return ECryResult::Failed;
            }
            produced.clear();
            if (out - handed >= kWritebackStep) {
                // Starts the writing, waits for nothing; a failure shows at the commit's fsync.
                ::sync_file_range(output.Fd(), handed, out - handed, SYNC_FILE_RANGE_WRITE);
                handed = out;
            }
        }
        filter.MessageEnd();
        out += qint64(produced.size());
        if (!WriteAll(output.Fd(), produced)) {
            ReportFileProblem(what, targetPath, strerror(errno));
            return ECryResult::Failed;
        }
        if (bytesIn)
            *bytesIn = in;
        if (bytesOut)
            *bytesOut = out;
    } catch (const CryptoPP::InvalidCiphertext& e) {
        // Only a decryption's end finds this: whole blocks that end in no valid padding are what a
        // wrong password leaves; anything else was never a .cry file.
        ReportFileProblem(what, sourcePath, e.what());
        return in > 0 && in % qint64(kCryBlockLength) == 0 ? ECryResult::WrongPassword : ECryResult::Damaged;
    } catch (const CryptoPP::Exception& e) {
        ReportFileProblem(what, sourcePath, e.what());
        return ECryResult::Failed;
    }
    if (!output.Commit(sourceStat.st_mode & 0777)) {
        ReportFileProblem(what, targetPath, strerror(errno));
        return ECryResult::Failed;
    }
    return ECryResult::Ok;
}

} // namespace

bool DeriveKeyAndIV(unsigned char* pKey, std::size_t keyLength, unsigned char* pIV, std::size_t ivLength,
                    const QByteArray& password)
{
    std::memset(pKey, 0, keyLength);
    std::memset(pIV, 0, ivLength);
    if (keyLength + ivLength > kDerivedLength)
        return false;
    try {
        // SecByteBlock overwrites the derived block with zeros when it is released.
        CryptoPP::SecByteBlock derived(kDerivedLength);
        CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA512> pbkdf2;
        pbkdf2.DeriveKey(derived.data(), derived.size(), 0,
                         reinterpret_cast<const CryptoPP::byte*>(password.constData()), std::size_t(password.size()),
                         nullptr, 0, kCryIterations, 0);
        std::memcpy(pKey, derived.data(), keyLength);
        std::memcpy(pIV, derived.data() + keyLength, ivLength);
        return true;
    } catch (const CryptoPP::Exception& e) {
        fprintf(stderr, "tarvelo: key derivation: %s\n", e.what());
        return false;
    }
}

CCryKey::~CCryKey()
{
    CryptoPP::SecureWipeArray(m_key, kCryKeyLength);
    CryptoPP::SecureWipeArray(m_iv, kCryIVLength);
}

bool CCryKey::Derive(const QByteArray& password)
{
    m_bReady = DeriveKeyAndIV(m_key, kCryKeyLength, m_iv, kCryIVLength, password);
    return m_bReady;
}

ECryResult EncryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const CCryKey& key,
                          std::atomic<qint64>* bytesRead)
{
    return TransformOneFile<CryptoPP::Rijndael::Encryption, CryptoPP::CBC_Mode_ExternalCipher::Encryption>(
        "encrypting", sourcePath, targetPath, key, bytesRead);
}

ECryResult DecryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const CCryKey& key,
                          qint64* paddingBytes, std::atomic<qint64>* bytesRead)
{
    qint64 in = 0, out = 0;
    const ECryResult result =
        TransformOneFile<CryptoPP::Rijndael::Decryption, CryptoPP::CBC_Mode_ExternalCipher::Decryption>(
            "decrypting", sourcePath, targetPath, key, bytesRead, &in, &out);
    if (result == ECryResult::Ok && paddingBytes)
        *paddingBytes = in - out;
    return result;
}

void RemoveLeftoverOutputs(const QByteArray& folder)
{
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st = {};
        if (std::strncmp(entry->d_name, kHiddenName, sizeof kHiddenName - 1) == 0 &&
            ::fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

ECryResult EncryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const QByteArray& password)
{
    CCryKey key;
    return key.Derive(password) ? EncryptOneFile(sourcePath, targetPath, key) : ECryResult::DerivationFailed;
}

ECryResult DecryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const QByteArray& password)
{
    CCryKey key;
    return key.Derive(password) ? DecryptOneFile(sourcePath, targetPath, key) : ECryResult::DerivationFailed;
}
