// ".cry" decryption of arbitrary bytes: never a crash, a target only when the result is Ok, and no
// temporary file left behind either way.

#include "Require.h"
#include "securefolder/CryFile.h"

#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace {

QByteArray g_folder;
CCryKey g_key; // derived once: a derivation costs 8000 rounds, far more than one decryption

int CountEntries()
{
    DIR* dir = opendir(g_folder.constData());
    Require(dir);
    int count = 0;
    while (const dirent* entry = readdir(dir))
        count += QByteArray(entry->d_name) != "." && QByteArray(entry->d_name) != "..";
    closedir(dir);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static QTemporaryDir folder; // under $TMPDIR: a campaign on tmpfs skips the disk's fsync
    Require(folder.isValid());
    g_folder = folder.path().toUtf8();
    Require(g_key.Derive("fuzz"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const QByteArray source = g_folder + "/source.cry";
    const QByteArray target = g_folder + "/target";
    FILE* file = fopen(source.constData(), "wb");
    Require(file && fwrite(bytes, 1, size, file) == size && fclose(file) == 0);

    const ECryResult result = DecryptOneFile(source, target, g_key);
    const bool made = ::access(target.constData(), F_OK) == 0;
    Require(made == (result == ECryResult::Ok));
    // The source, and the target when it was made: nothing else, no temporary file.
    Require(CountEntries() == 1 + int(made));
    if (made) {
        // Whole blocks of ciphertext yield at most one block less of plain bytes.
        FILE* plain = fopen(target.constData(), "rb");
        Require(plain && fseek(plain, 0, SEEK_END) == 0);
        const long plainSize = ftell(plain);
        fclose(plain);
        Require(size % kCryBlockLength == 0 && size > 0 && size_t(plainSize) < size &&
                size_t(plainSize) + kCryBlockLength >= size);
        ::unlink(target.constData());
    }
    return 0;
}
