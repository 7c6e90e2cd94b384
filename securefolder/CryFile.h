#pragma once

#include <QByteArray>

#include <atomic>
#include <cstddef>

// The ".cry" format: AES-256-CBC with PKCS #7 padding of the whole plain file, nothing else (no
// header, salt or tag). Key and IV come from the CryPassword alone: PBKDF2-HMAC-SHA-512, empty salt,
// 8000 iterations, 64 bytes of which bytes 0-31 are the key and 32-47 the IV.
//
// Any thread; the functions share no state. Paths are bytes with "/" separators, of any length the
// file system takes. Library errors never leave these functions: they are written to standard error
// and turned into results.

constexpr std::size_t kCryKeyLength = 32;
constexpr std::size_t kCryIVLength = 16;
constexpr std::size_t kCryBlockLength = 16;
constexpr unsigned kCryIterations = 8000;

// Every result but Ok leaves an existing target untouched and writes nothing, except Failed after
// the result was in place (a disk error at the end): the target then holds the result, and the
// source stays.
enum class ECryResult
{
    Ok,               // the target holds the complete result
    Failed,           // a read or a write failed (a full disk, a permission), or the source is no regular file
    WrongPassword,    // decryption: the last block's padding is not what the password would leave
    Damaged,          // decryption: the file is no .cry file (empty, or not whole blocks)
    DerivationFailed, // the key derivation failed; nothing was touched
};

// Clears the key and IV buffers, then fills them from the password. keyLength + ivLength must not
// exceed 64. False when the library failed (the buffers then stay cleared).
[[nodiscard]] bool DeriveKeyAndIV(unsigned char* pKey, std::size_t keyLength, unsigned char* pIV, std::size_t ivLength,
                                  const QByteArray& password);

// A key and IV derived once from a CryPassword, for every file of a pass: the derivation costs far
// more than encrypting a small file, and the same password always gives the same key and IV, so
// the files produced are the same as with one derivation per file. Wiped when destroyed.
class CCryKey
{
public:
    CCryKey() = default;
    ~CCryKey();
    CCryKey(const CCryKey&) = delete;
    CCryKey& operator=(const CCryKey&) = delete;

    // Derives from the password. False when the library failed (nothing usable is held then).
    [[nodiscard]] bool Derive(const QByteArray& password);
    bool IsReady() const { return m_bReady; }
    const unsigned char* Key() const { return m_key; }
    const unsigned char* IV() const { return m_iv; }

private:
    unsigned char m_key[kCryKeyLength] = {};
    unsigned char m_iv[kCryIVLength] = {};
    bool m_bReady = false;
};

// Writes the ".cry" form of the plain file sourcePath to targetPath, streamed. The output goes to a
// temporary file beside the target that replaces the target only once it is complete, so a failure
// leaves an existing target as it was. The new file takes the source's permission bits.
[[nodiscard]] ECryResult EncryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath,
                                        const QByteArray& password);
// The same with a key derived before; DerivationFailed when the key is not ready. bytesRead (when
// given) holds the bytes of the source read so far, for another thread to show.
[[nodiscard]] ECryResult EncryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const CCryKey& key,
                                        std::atomic<qint64>* bytesRead = nullptr);

// Writes the plain form of the ".cry" file sourcePath to targetPath, the same way. A wrong password
// is found only by the padding of the last block (a damaged last block looks the same).
[[nodiscard]] ECryResult DecryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath,
                                        const QByteArray& password);
// The same with a key derived before; DerivationFailed when the key is not ready. On Ok,
// paddingBytes (when given) receives the length of the padding taken off: a wrong password that
// passes the padding test almost always leaves one byte, where a right one does for one file in 16.
// bytesRead as for EncryptOneFile.
[[nodiscard]] ECryResult DecryptOneFile(const QByteArray& sourcePath, const QByteArray& targetPath, const CCryKey& key,
                                        qint64* paddingBytes = nullptr, std::atomic<qint64>* bytesRead = nullptr);

// Removes from the folder what a pass stopped midway left of its outputs: where the file system
// has no unnamed files, the output has a hidden name from the start, and a killed decryption left
// plain text there that no pass lists.
void RemoveLeftoverOutputs(const QByteArray& folder);

// Writes "tarvelo: <what> <path>: <detail>" to standard error, the path's control characters and
// bytes of no well-formed character escaped: a file's name must not drive the terminal. At a
// terminal the line first clears the one the cursor is on, which may hold tarvelo-cry's progress.
void ReportFileProblem(const char* what, const QByteArray& path, const char* detail);
