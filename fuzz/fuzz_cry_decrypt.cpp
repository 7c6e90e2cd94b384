// ".cry" decryption of any bytes: no crash, a target only when the result is Ok, and no temporary file left either way.

#include "Require.h"
#include "securefolder/CryFile.h"
#include "TestFiles.h"

#include <QDir>
#include <QFileInfo>

#include <cstdint>
#include <unistd.h>

namespace {

QByteArray g_folder;
CCryKey g_key; // derived once: a derivation costs 8000 rounds, far more than one decryption

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static TestTree folder; // under $TMPDIR: a campaign on tmpfs spares the disk's fsync
    Require(folder.IsValid() && g_key.Derive("fuzz"));
    g_folder = folder.Base();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const QByteArray source = g_folder + "/source.cry", target = g_folder + "/target";
    Require(WriteFile(QString::fromUtf8(source), QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(size))));

    const ECryResult result = DecryptOneFile(source, target, g_key);
    const bool made = ::access(target.constData(), F_OK) == 0;
    Require(made == (result == ECryResult::Ok));
    // The source, and the target when it was made: nothing else, no temporary file.
    Require(QDir(QString::fromUtf8(g_folder))
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                .size() == 1 + int(made));
    if (made) {
        // Whole blocks of ciphertext yield at most one block less of plain bytes.
        const size_t plainSize = size_t(QFileInfo(QString::fromUtf8(target)).size());
        Require(size % kCryBlockLength == 0 && size > 0 && plainSize < size && plainSize + kCryBlockLength >= size);
        ::unlink(target.constData());
    }
    return 0;
}
