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
    // True when every Fill of the same size gives the same bytes: the overwrite loop then fills its
    // buffer once per pass instead of once per chunk.
    virtual bool IsConstant() const { return false; }
    // For a constant pass, the length in bytes after which its data repeats (0: none, or not known).
    virtual size_t PatternLength() const { return 0; }
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
    bool IsConstant() const override { return true; }
    size_t PatternLength() const override { return m_pattern.size(); }

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
    // from there when that is longer (-1: no minimum), in chunks of at most 6 MiB, and flushes the file
    // after each pass, so that a pass is on the disk before the next one starts (a write-through handle
    // alone does not promise that: Wine ignores the flag, and disks with a volatile cache hold the data).
    // Data that another program appended meanwhile, past the stretch, is then overwritten with every pass
    // as well, until the size holds still. Polls *cancel before every chunk (StopRequested) and calls
    // callback (may be null) after every chunk of the main stretch. The three counters are only read.
    // kPassesWritten: every pass is written and flushed. kPassesStopped: *cancel asked to stop; the passes
    // are incomplete. kPassesFailed: a file operation (a flush included) or the allocation failed, or the
    // file kept growing; the thread's last error says why.
    int WritePasses(HWND hWnd, HANDLE file, const wchar_t* name, const CancelFlag* cancel,
                    const uint64_t* sizeForProgress, const uint64_t* itemsDone, const uint64_t* bytesDone,
                    ProgressCallback callback, int64_t minimumLength);

    std::vector<CErasureMethodPass*> m_passes;
    int32_t m_shuffle = 0;  // non-zero: ShufflePasses before every overwrite (the Gutmann method)
};

// Results of CErasureMethod::WritePasses.
enum WritePassesResult : int {
    kPassesFailed = 0,
    kPassesWritten = 1,
    kPassesStopped = 2,
};

// Rounds of overwriting data appended while the passes ran before the file counts as one that never holds
// still (another program keeps writing it) and the overwrite fails.
constexpr int kGrowthRounds = 8;

// Size of the one overwrite buffer: 6 MiB.
constexpr int64_t kOverwriteBufferSize = 6 * 1024 * 1024;

// How much of the buffer a constant pass fills: about 256 KiB of whole pattern repeats, written over and
// over to make up each chunk. Every page of a new buffer costs a page fault when it is first written (on a
// virtual machine 10-20 us a page, 20-30 ms for 6 MiB), which for a pass at disk speed is a fifth of its
// time; a pattern's bytes are the same in every stretch, so the rest of the buffer need never be touched.
constexpr int64_t kPatternSpan = 256 * 1024;

// Number of erasure methods in the catalogue; valid indexes are 0 .. kErasureMethodCount-1.
constexpr uint32_t kErasureMethodCount = 12;

// A new, complete pass list of method index (0..11), owned by the caller; NULL for any other index.
CErasureMethod* CreateErasureMethod(uint32_t index);

// String-table id of the name of method index, or 0 for an index above 11.
UINT GetErasureMethodNameId(uint32_t index);
