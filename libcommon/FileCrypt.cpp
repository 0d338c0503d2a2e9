#include "FileCrypt.h"

#include <cryptopp/blowfish.h>
#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr DWORD kChunkBytes = 1024;  // a multiple of both block sizes
constexpr size_t kMaxBlockBytes = 16;
constexpr size_t kSaltBytes = 7;
constexpr unsigned int kIterations = 10;
constexpr int kTemporaryNameTries = 16;

struct CipherShape {
    size_t m_keyBytes;
    size_t m_blockBytes;
};

bool ShapeOf(int32_t algorithm, CipherShape& shape)
{
    switch (algorithm) {
    case kCryptAes256: shape = {32, 16}; return true;
    case kCryptAes192: shape = {24, 16}; return true;
    case kCryptAes128: shape = {16, 16}; return true;
    case kCryptBlowfish: shape = {16, 8}; return true;
    case kCryptDesEde3: shape = {24, 8}; return true;
    default: return false;
    }
}

// The block cipher of one direction, unkeyed.
std::unique_ptr<CryptoPP::BlockCipher> MakeCipher(int32_t algorithm, bool encrypt)
{
    switch (algorithm) {
    case kCryptAes256:
    case kCryptAes192:
    case kCryptAes128:
        if (encrypt)
            return std::make_unique<CryptoPP::Rijndael::Encryption>();
        return std::make_unique<CryptoPP::Rijndael::Decryption>();
    case kCryptBlowfish:
        if (encrypt)
            return std::make_unique<CryptoPP::Blowfish::Encryption>();
        return std::make_unique<CryptoPP::Blowfish::Decryption>();
    case kCryptDesEde3:
        if (encrypt)
            return std::make_unique<CryptoPP::DES_EDE3::Encryption>();
        return std::make_unique<CryptoPP::DES_EDE3::Decryption>();
    default:
        return nullptr;
    }
}

// Whether the caller asks the routine to stop: any value but 0 does. Unlike the shredding jobs' loops
// (StopRequested), these routines never wait out a hold: the hold value 2 is a stop here like any other.
bool CancelAsked(const CancelFlag* cancel)
{
    return cancel && cancel->load() != kCancelGoOn;
}

// The cipher keyed from the password. The raw key lives in a block that is zeroed when it goes, right
// after the keying. Throws what Crypto++ or the allocator throws; false when the key cannot be derived.
bool KeyCipher(CryptoPP::BlockCipher& cipher, const CipherShape& shape, const wchar_t* password)
{
    CryptoPP::SecByteBlock key(shape.m_keyBytes);
    const size_t passwordBytes = std::wcslen(password) * sizeof(wchar_t);
    if (!TryDeriveKeyPbkdf1(key.data(), key.size(), reinterpret_cast<const uint8_t*>(password), passwordBytes))
        return false;
    cipher.SetKey(key.data(), key.size());
    return true;
}

// The output file: a temporary file beside the destination, moved over it by Commit. Removed when the
// object goes without a commit.
class PendingOutput {
public:
    explicit PendingOutput(const wchar_t* destination)
        : m_destination(destination)
    {
    }
    ~PendingOutput() { Discard(); }
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    // Creates the temporary file ("<destination>.<unique>.tmp", so it lies in the destination's folder).
    bool Create(DWORD flags)
    {
        static LONG s_counter = 0;
        for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
            wchar_t suffix[48];
            _snwprintf(suffix, 48, L".%lx%lx.tmp", GetCurrentProcessId(),
                       static_cast<unsigned long>(InterlockedIncrement(&s_counter)) ^ GetTickCount());
            suffix[47] = L'\0';
            m_temporary = m_destination + suffix;
            m_handle = CreateFileW(m_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
            if (m_handle != INVALID_HANDLE_VALUE)
                return true;
            if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
                break;
        }
        m_temporary.clear();
        return false;
    }

    // The whole of data written, or false.
    bool Write(const void* data, size_t size)
    {
        const auto* at = static_cast<const BYTE*>(data);
        while (size > 0) {
            const DWORD ask = size > kChunkBytes * 2 ? kChunkBytes * 2 : static_cast<DWORD>(size);
            DWORD written = 0;
            if (!WriteFile(m_handle, at, ask, &written, nullptr) || written != ask)
                return false;
            at += ask;
            size -= ask;
        }
        return true;
    }

    // Closes the temporary file and puts it in the destination's place.
    bool Commit()
    {
        const BOOL closed = CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        if (!closed || !MoveFileExW(m_temporary.c_str(), m_destination.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return false;
        m_temporary.clear();
        return true;
    }

private:
    void Discard()
    {
        if (m_handle != INVALID_HANDLE_VALUE) {
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
        }
        if (!m_temporary.empty()) {
            DeleteFileW(m_temporary.c_str());
            m_temporary.clear();
        }
    }

    std::wstring m_destination;                // as the caller named it
    std::wstring m_temporary;                  // empty when there is none (not made, committed, removed)
    HANDLE m_handle = INVALID_HANDLE_VALUE;    // open on m_temporary until Commit
};

// Closes a file handle when it goes.
class ScopedFile {
public:
    explicit ScopedFile(HANDLE handle)
        : m_handle(handle)
    {
    }
    ~ScopedFile()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

// Reads until size bytes are in or a read gives 0 bytes (the end of the file). false when a read fails.
bool ReadUpTo(HANDLE file, BYTE* buffer, DWORD size, DWORD& got)
{
    got = 0;
    while (got < size) {
        DWORD part = 0;
        if (!ReadFile(file, buffer + got, size - got, &part, nullptr))
            return false;
        if (part == 0)
            break;
        got += part;
    }
    return true;
}

// Reads exactly size bytes in one request; any other count is a failure.
bool ReadExactly(HANDLE file, BYTE* buffer, DWORD size)
{
    DWORD got = 0;
    return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

// The padded transformation of the final piece through the filter, on the mode that ran the chunks before,
// into out. The byte count written; throws (bad padding, a length that is no whole number of blocks) where
// the filter does, and gives a count above capacity when the result does not fit.
size_t TransformFinal(CryptoPP::StreamTransformation& mode, const BYTE* data, size_t size, BYTE* out,
                      size_t capacity)
{
    auto* sink = new CryptoPP::ArraySink(out, capacity);
    CryptoPP::StreamTransformationFilter filter(mode, sink);  // owns the sink
    filter.Put(data, size);
    filter.MessageEnd();
    return static_cast<size_t>(sink->TotalPutLength());
}

bool EncryptStreams(HANDLE source, PendingOutput& output, const wchar_t* password, int32_t algorithm,
                    const CipherShape& shape, const CancelFlag* cancel)
{
    std::unique_ptr<CryptoPP::BlockCipher> cipher = MakeCipher(algorithm, true);
    if (!cipher || !KeyCipher(*cipher, shape, password))
        return false;
    const BYTE iv[kMaxBlockBytes] = {};
    CryptoPP::CBC_Mode_ExternalCipher::Encryption mode(*cipher, iv);

    CryptoPP::SecByteBlock plain(kChunkBytes);
    CryptoPP::SecByteBlock sealed(kChunkBytes);
    uint64_t total = 0;
    for (;;) {
        if (CancelAsked(cancel))
            return false;
        DWORD got = 0;
        if (!ReadUpTo(source, plain.data(), kChunkBytes, got))
            return false;
        total += got;
        if (got == kChunkBytes) {
            mode.ProcessData(sealed.data(), plain.data(), kChunkBytes);
            if (!output.Write(sealed.data(), kChunkBytes))
                return false;
            continue;
        }
        // The final piece, 0 to 1023 bytes: padded, unless the whole plaintext is empty.
        if (total == 0)
            return true;
        const size_t lastBytes = TransformFinal(mode, plain.data(), got, sealed.data(), sealed.size());
        return lastBytes <= sealed.size() && output.Write(sealed.data(), lastBytes);
    }
}

bool DecryptStreams(HANDLE source, PendingOutput& output, const wchar_t* password, int32_t algorithm,
                    const CipherShape& shape, const CancelFlag* cancel)
{
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(source, &size) || size.QuadPart < 0)
        return false;
    std::unique_ptr<CryptoPP::BlockCipher> cipher = MakeCipher(algorithm, false);
    if (!cipher || !KeyCipher(*cipher, shape, password))
        return false;
    const BYTE iv[kMaxBlockBytes] = {};
    CryptoPP::CBC_Mode_ExternalCipher::Decryption mode(*cipher, iv);

    // The last piece holds up to one chunk and one block, so that the padding block is never alone.
    const uint64_t lastPieceMax = kChunkBytes + shape.m_blockBytes;
    CryptoPP::SecByteBlock sealed(static_cast<size_t>(lastPieceMax));
    CryptoPP::SecByteBlock plain(static_cast<size_t>(lastPieceMax));
    uint64_t remaining = static_cast<uint64_t>(size.QuadPart);
    while (remaining > 0) {
        if (CancelAsked(cancel))
            return false;
        if (remaining > lastPieceMax) {
            if (!ReadExactly(source, sealed.data(), kChunkBytes))
                return false;
            mode.ProcessData(plain.data(), sealed.data(), kChunkBytes);
            if (!output.Write(plain.data(), kChunkBytes))
                return false;
            remaining -= kChunkBytes;
            continue;
        }
        const DWORD lastBytes = static_cast<DWORD>(remaining);
        if (lastBytes % shape.m_blockBytes != 0)
            return false;
        if (!ReadExactly(source, sealed.data(), lastBytes))
            return false;
        const size_t plainBytes = TransformFinal(mode, sealed.data(), lastBytes, plain.data(), plain.size());
        if (plainBytes > plain.size() || !output.Write(plain.data(), plainBytes))
            return false;
        remaining = 0;
    }
    return true;
}

using StreamJob = bool (*)(HANDLE, PendingOutput&, const wchar_t*, int32_t, const CipherShape&, const CancelFlag*);

// Opens both ends, runs the job and puts the output in place on success. Nothing thrown gets out.
BOOL RunFileJob(const wchar_t* sourcePath, const wchar_t* destination, const wchar_t* password, int32_t algorithm,
                const CancelFlag* cancel, DWORD sourceShare, DWORD outputFlags, StreamJob job)
{
    CipherShape shape = {};
    if (!ShapeOf(algorithm, shape) || !sourcePath || !destination || !password)
        return FALSE;
    try {
        ScopedFile source(CreateFileW(sourcePath, GENERIC_READ, sourceShare, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!source.IsOpen())
            return FALSE;
        PendingOutput output(destination);
        if (!output.Create(outputFlags))
            return FALSE;
        if (!job(source.Get(), output, password, algorithm, shape, cancel))
            return FALSE;
        return output.Commit() ? TRUE : FALSE;
    } catch (const CryptoPP::Exception&) {
        return FALSE;
    } catch (const std::exception&) {  // std::bad_alloc above all
        return FALSE;
    }
}

}  // namespace

bool TryDeriveKeyPbkdf1(uint8_t* key, size_t keyLength, const uint8_t* password, size_t passwordLength)
{
    if (!key || keyLength == 0)
        return false;
    if (keyLength > CryptoPP::SHA512::DIGESTSIZE || (!password && passwordLength)) {
        CryptoPP::SecureWipeBuffer(key, keyLength);
        return false;
    }
    const CryptoPP::byte salt[kSaltBytes] = {};
    const CryptoPP::byte none = 0;
    try {
        CryptoPP::PKCS5_PBKDF1<CryptoPP::SHA512> derivation;
        derivation.DeriveKey(key, keyLength, 0, password ? password : &none, passwordLength, salt, kSaltBytes,
                             kIterations, 0);
        return true;
    } catch (const CryptoPP::Exception&) {
    } catch (const std::exception&) {
    }
    CryptoPP::SecureWipeBuffer(key, keyLength);
    return false;
}

void DeriveKeyPbkdf1(uint8_t* key, size_t keyLength, const uint8_t* password, size_t passwordLength)
{
    // A failed derivation has already zeroed the key.
    TryDeriveKeyPbkdf1(key, keyLength, password, passwordLength);
}

BOOL EncryptFileToFile(const wchar_t* source, const wchar_t* destination, const wchar_t* password,
                       int32_t algorithm, const CancelFlag* cancel)
{
    return RunFileJob(source, destination, password, algorithm, cancel, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, &EncryptStreams);
}

BOOL DecryptFileToFile(const wchar_t* source, const wchar_t* destination, const wchar_t* password,
                       int32_t algorithm, const CancelFlag* cancel)
{
    return RunFileJob(source, destination, password, algorithm, cancel, 0, FILE_ATTRIBUTE_NORMAL, &DecryptStreams);
}
