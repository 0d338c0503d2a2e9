#pragma once
// Erasure methods as ordered lists of overwrite passes, and the loop that writes a list's passes over an
// open file.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include <cryptopp/osrng.h>
#include <cryptopp/des.h>

#include "ProgressMessages.h"
#include "libcommon/CancelFlag.h"

// One overwrite pass: fills a buffer with what the pass writes.
class CErasureMethodPass {
public:
    virtual ~CErasureMethodPass();
    // Fills bytes 0 .. size-1 of buffer; a size of 0 or less writes nothing.
    virtual void Fill(uint8_t* buffer, int64_t size) = 0;
};

// Fresh pseudorandom data from a generator of the pass's own, 96 bytes at a time.
class CWriteRandom : public CErasureMethodPass {
public:
    CWriteRandom();
    void Fill(uint8_t* buffer, int64_t size) override;

    uint8_t m_block[96];
    CryptoPP::AutoSeededX917RNG<CryptoPP::DES_EDE3> m_rng;
};

// A fixed byte pattern repeated, starting at the pattern's first byte on every call.
class CWriteConstant : public CErasureMethodPass {
public:
    explicit CWriteConstant(std::vector<uint8_t> pattern);  // one byte or more
    void Fill(uint8_t* buffer, int64_t size) override;

    std::vector<uint8_t> m_pattern;
};

// The pass list of one erasure method; owns its passes.
class CErasureMethod {
public:
    CErasureMethod() = default;
    CErasureMethod(const CErasureMethod&) = delete;
    CErasureMethod& operator=(const CErasureMethod&) = delete;
    ~CErasureMethod();

    // Reseeds the calling thread's rand() with the time, then reorders m_passes from their current order.
    void ShufflePasses();

    // Writes every pass over the open file from its current position to its end, or to minimumLength bytes
    // from there when that is longer (-1: no minimum), in chunks of at most 6 MiB. Polls *cancel before
    // every chunk and calls callback (may be null) after every chunk. The three counters are only read.
    // 1: all passes written, or stopped by *cancel. 0: a file operation or the allocation failed (the
    // thread's last error says why).
    int WritePasses(HWND hWnd, HANDLE file, const wchar_t* name, const CancelFlag* cancel,
                    const uint64_t* sizeForProgress, const uint64_t* itemsDone, const uint64_t* bytesDone,
                    ProgressCallback callback, int64_t minimumLength);

    std::vector<CErasureMethodPass*> m_passes;
    int32_t m_shuffle = 0;  // non-zero: ShufflePasses before every overwrite (the Gutmann method)
};

// Size of the one overwrite buffer: 6 MiB.
constexpr int64_t kOverwriteBufferSize = 6 * 1024 * 1024;

// Number of erasure methods in the catalogue; valid indexes are 0 .. kErasureMethodCount-1.
constexpr uint32_t kErasureMethodCount = 12;

// A new, complete pass list of method index (0..11), owned by the caller; NULL for any other index.
CErasureMethod* CreateErasureMethod(uint32_t index);

// String-table id of the name of method index, or 0 for an index above 11.
UINT GetErasureMethodNameId(uint32_t index);
