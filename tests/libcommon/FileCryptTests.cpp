// File encryption: sizes and round trips of every cipher, known answers computed outside Crypto++ (Python's
// hashlib for the key derivation, `openssl enc` for the ciphertexts), rejected inputs, cancel, and reads,
// writes and allocations that fail or come short (the import seam and the allocation counter: a real disk
// under Wine does not fail them on demand).
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImportPatch.h"
#include "TempDir.h"
#include "../engine/AllocationCounter.h"
#include "libcommon/FileCrypt.h"

namespace {

std::vector<uint8_t> FromHex(const char* hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        auto nibble = [](char c) { return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
        bytes.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return bytes;
}

std::vector<uint8_t> Pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

size_t BlockOf(int32_t algorithm)
{
    return algorithm <= kCryptAes128 ? 16 : 8;
}

// Names of the files in a folder, "." and ".." left out.
std::vector<std::wstring> FolderContents(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0)
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

constexpr const wchar_t* kPassword = L"Pellumar";
const char kQuickFox[] = "The quick brown fox jumps over the lazy dog";

// ---- fakes of the file calls ------------------------------------------------------------------------

ImportPatch<decltype(::ReadFile)>* g_read;
int g_readCalls;
int g_readFailsAt = -1;      // the call (0-based) that fails; -1: none
DWORD g_readAtMost = 0;      // 0: as asked
CancelFlag* g_cancelAfterRead;  // set to g_cancelValue after the first read
int32_t g_cancelValue = kCancelStop;
BOOL WINAPI FakeReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    const int call = g_readCalls++;
    if (call == g_readFailsAt) {
        SetLastError(ERROR_CRC);
        return FALSE;
    }
    if (g_cancelAfterRead)
        g_cancelAfterRead->store(g_cancelValue);
    if (g_readAtMost && size > g_readAtMost)
        size = g_readAtMost;
    return g_read->Original()(file, buffer, size, got, overlapped);
}

ImportPatch<decltype(::WriteFile)>* g_write;
int g_writeCalls;
int g_writeFailsAt = -1;
bool g_writeShort;  // the failing call writes one byte less and reports success
BOOL WINAPI FakeWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    const int call = g_writeCalls++;
    if (call == g_writeFailsAt) {
        if (!g_writeShort) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return g_write->Original()(file, buffer, size - 1, written, overlapped);
    }
    return g_write->Original()(file, buffer, size, written, overlapped);
}

ImportPatch<decltype(::CreateFileW)>* g_create;
int g_createCalls;
HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                              DWORD flags, HANDLE templateFile)
{
    ++g_createCalls;
    return g_create->Original()(name, access, share, security, how, flags, templateFile);
}

class FileCrypt : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.IsValid());
        g_readCalls = g_writeCalls = g_createCalls = 0;
        g_readFailsAt = g_writeFailsAt = -1;
        g_readAtMost = 0;
        g_writeShort = false;
        g_cancelAfterRead = nullptr;
        g_cancelValue = kCancelStop;
    }

    // Encrypts plain with the algorithm; the encrypted bytes, or an empty vector with ok false.
    std::vector<uint8_t> Encrypt(const std::vector<uint8_t>& plain, int32_t algorithm, bool& ok,
                                 const wchar_t* password = kPassword)
    {
        const std::wstring source = m_dir.WriteFile(L"plain.bin", plain);
        const std::wstring sealed = m_dir.Join(L"sealed.bin");
        ok = EncryptFileToFile(source.c_str(), sealed.c_str(), password, algorithm, nullptr) == TRUE;
        return TempDir::ReadFile(sealed);
    }

    TempDir m_dir{L"filecrypt"};
};

TEST_F(FileCrypt, KeyDerivationMatchesIndependentlyComputedVectors)
{
    // python3: h = sha512(pw.encode('utf-16-le') + b'\0' * 7); then 9 times h = sha512(h).
    struct Case { const wchar_t* password; const char* key64; };
    const Case cases[] = {
        {L"Pellumar", "d6b2f4030b55010bf546ae0eec60f92a0c42217fae0589c5909899bf84da56ba"
                      "677a9e4c56876f03d2e4c2c23599bbcac06b6517b436f241c473171ef36981a1"},
        {L"", "433294c8ed68088ddd5ca08bd2698907a1d045ea12f6ef76da8d8e64d51ef454"
              "2a81d0e6f6310347313c3fb0cb99a22130a62859326599063d70791c25d0d336"},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> expected = FromHex(c.key64);
        for (size_t length : {64u, 32u, 16u, 1u}) {
            std::vector<uint8_t> key(length, 0xAA);
            DeriveKeyPbkdf1(key.data(), key.size(), reinterpret_cast<const uint8_t*>(c.password),
                            std::wcslen(c.password) * sizeof(wchar_t));
            EXPECT_EQ(key, std::vector<uint8_t>(expected.begin(), expected.begin() + length))
                << "password of " << std::wcslen(c.password) << " characters, " << length << " bytes";
        }
    }
    // Longer than the digest: the call keeps its contract (no result) and leaves no stale bytes.
    std::vector<uint8_t> tooLong(65, 0xAA);
    DeriveKeyPbkdf1(tooLong.data(), tooLong.size(), reinterpret_cast<const uint8_t*>(kPassword), 16);
    EXPECT_EQ(tooLong, std::vector<uint8_t>(65, 0));
}

TEST_F(FileCrypt, CiphertextsMatchOpenSsl)
{
    // openssl enc -<cipher> -K <derived key> -iv 00..00 (PKCS #7 padding), over the 43 bytes of kQuickFox.
    struct Case { int32_t algorithm; const char* sealed; };
    const Case cases[] = {
        {kCryptAes256, "2785b767cf65083307d57544e2df506f25e50799d82cb9affde381a1be1ce5bff4bb58388a6d282057afa20ca70379ab"},
        {kCryptAes192, "56a94201660b4ae47faa2f6192f3286d68aa7fb0adc186d7703d3a83352af346c84cd494963f1007f22fc9410c03dafc"},
        {kCryptAes128, "9a232532df94eaf90d710b5522fffd7a7e442ff6ea941867e95f5ea0d83fc326b882769bd1af6807bec3dc59261c4d45"},
        {kCryptBlowfish, "6c4ba47c14256743bcb6508f452a4b8f2fe9c78e2713b2d03c61fba18532c5921aeb69d52aebc355bb1798f962329f6d"},
        {kCryptDesEde3, "afff9ec1e8698345dbe236d886c2be2bd7dd6d60ddd7f6f5a53afa07cdf62eb589adc2cacdbe9143addb6f95711ac99f"},
    };
    const std::vector<uint8_t> fox(kQuickFox, kQuickFox + std::strlen(kQuickFox));
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(Encrypt(fox, c.algorithm, ok), FromHex(c.sealed)) << "algorithm " << c.algorithm;
        EXPECT_TRUE(ok);
    }

    // One CBC chain across the chunks: 2060 bytes of Pattern with AES-128 end in these 32 bytes.
    bool ok = false;
    const std::vector<uint8_t> sealed = Encrypt(Pattern(2060), kCryptAes128, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(sealed.size(), 2064u);
    EXPECT_EQ(std::vector<uint8_t>(sealed.end() - 32, sealed.end()),
              FromHex("8900b8dcb86a7dbd1b19447a8c26ed7e2e948af680715eeae4fac557badf6a09"));
}

TEST_F(FileCrypt, EverySizeOfEveryCipherRoundTrips)
{
    const size_t sizes[] = {0, 1, 15, 16, 17, 1000, 1008, 1023, 1024, 1025, 2060, (1u << 20) + 3};
    for (int32_t algorithm = kCryptAes256; algorithm <= kCryptDesEde3; ++algorithm) {
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "algorithm " << algorithm << ", " << size << " bytes");
            const std::vector<uint8_t> plain = Pattern(size);
            const std::wstring source = m_dir.WriteFile(L"plain.bin", plain);
            const std::wstring sealed = m_dir.Join(L"sealed.bin");
            const std::wstring opened = m_dir.Join(L"opened.bin");
            ASSERT_TRUE(EncryptFileToFile(source.c_str(), sealed.c_str(), kPassword, algorithm, nullptr));
            const size_t block = BlockOf(algorithm);
            EXPECT_EQ(TempDir::FileSize(sealed), size == 0 ? 0 : (size / block + 1) * block);
            ASSERT_TRUE(DecryptFileToFile(sealed.c_str(), opened.c_str(), kPassword, algorithm, nullptr));
            EXPECT_TRUE(TempDir::ReadFile(opened) == plain);
            // The same file, password and cipher always give the same bytes.
            if (size == 1025) {
                const std::vector<uint8_t> first = TempDir::ReadFile(sealed);
                ASSERT_TRUE(EncryptFileToFile(source.c_str(), sealed.c_str(), kPassword, algorithm, nullptr));
                EXPECT_TRUE(TempDir::ReadFile(sealed) == first);
            }
        }
    }
    // Nothing but the three files is left in the folder.
    EXPECT_EQ(FolderContents(m_dir.Path()).size(), 3u);
}

TEST_F(FileCrypt, RejectedCiphertextsLeaveAnExistingDestinationAsItWas)
{
    const std::vector<uint8_t> good = FromHex(
        "2785b767cf65083307d57544e2df506f25e50799d82cb9affde381a1be1ce5bff4bb58388a6d282057afa20ca70379ab");
    std::vector<uint8_t> damagedLast = good;
    damagedLast.back() ^= 0x01;  // the last block decrypts to noise: openssl -nopad shows a final byte of 0x67
    struct Case { const char* what; std::vector<uint8_t> sealed; const wchar_t* password; };
    const Case cases[] = {
        {"wrong password (case differs; openssl says bad decrypt)", good, L"pellumar"},
        {"damaged last block", damagedLast, kPassword},
        {"cut by one byte", std::vector<uint8_t>(good.begin(), good.end() - 1), kPassword},
        {"cut by one block (ends in a text byte)", std::vector<uint8_t>(good.begin(), good.end() - 16), kPassword},
    };
    const std::vector<uint8_t> kept = {'k', 'e', 'e', 'p'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring sealed = m_dir.WriteFile(L"sealed.bin", c.sealed);
        const std::wstring opened = m_dir.WriteFile(L"opened.bin", kept);
        EXPECT_FALSE(DecryptFileToFile(sealed.c_str(), opened.c_str(), c.password, kCryptAes256, nullptr));
        EXPECT_TRUE(TempDir::ReadFile(opened) == kept);
        EXPECT_EQ(FolderContents(m_dir.Path()).size(), 2u);
        ASSERT_TRUE(DeleteFileW(opened.c_str()));
        EXPECT_FALSE(DecryptFileToFile(sealed.c_str(), opened.c_str(), c.password, kCryptAes256, nullptr));
        EXPECT_FALSE(TempDir::FileExists(opened));
    }
    // And the right one opens the good file.
    const std::wstring sealed = m_dir.WriteFile(L"sealed.bin", good);
    const std::wstring opened = m_dir.Join(L"opened.bin");
    ASSERT_TRUE(DecryptFileToFile(sealed.c_str(), opened.c_str(), kPassword, kCryptAes256, nullptr));
    EXPECT_EQ(TempDir::ReadFile(opened), std::vector<uint8_t>(kQuickFox, kQuickFox + std::strlen(kQuickFox)));
}

TEST_F(FileCrypt, AnAlgorithmOutsideTheTableOpensNoFile)
{
    const std::wstring source = m_dir.WriteFile(L"plain.bin", Pattern(100));
    const std::wstring destination = m_dir.Join(L"out.bin");
    ImportPatch<decltype(::CreateFileW)> create("CreateFileW", &FakeCreateFileW);
    g_create = &create;
    ASSERT_TRUE(create.IsActive());
    for (int32_t algorithm : {-1, 5, 0x7FFFFFFF}) {
        EXPECT_FALSE(EncryptFileToFile(source.c_str(), destination.c_str(), kPassword, algorithm, nullptr));
        EXPECT_FALSE(DecryptFileToFile(source.c_str(), destination.c_str(), kPassword, algorithm, nullptr));
    }
    EXPECT_EQ(g_createCalls, 0);
    EXPECT_FALSE(TempDir::FileExists(destination));
}

TEST_F(FileCrypt, CancelStopsBeforeTheNextChunkInBothDirections)
{
    const std::wstring source = m_dir.WriteFile(L"plain.bin", Pattern(8 * 1024 + 5));
    const std::wstring sealed = m_dir.Join(L"sealed.bin");
    const std::wstring opened = m_dir.Join(L"opened.bin");
    ASSERT_TRUE(EncryptFileToFile(source.c_str(), sealed.c_str(), kPassword, kCryptBlowfish, nullptr));

    CancelFlag stop{kCancelStop};
    EXPECT_FALSE(EncryptFileToFile(source.c_str(), opened.c_str(), kPassword, kCryptBlowfish, &stop));
    EXPECT_FALSE(DecryptFileToFile(sealed.c_str(), opened.c_str(), kPassword, kCryptBlowfish, &stop));
    EXPECT_FALSE(TempDir::FileExists(opened));

    // A stop that arrives during the first chunk ends either direction before the second read.
    ImportPatch<decltype(::ReadFile)> read("ReadFile", &FakeReadFile);
    g_read = &read;
    ASSERT_TRUE(read.IsActive());
    for (bool encrypt : {true, false}) {
        CancelFlag flag{kCancelGoOn};
        g_cancelAfterRead = &flag;
        g_readCalls = 0;
        const BOOL ok = encrypt ? EncryptFileToFile(source.c_str(), opened.c_str(), kPassword, kCryptBlowfish, &flag)
                                : DecryptFileToFile(sealed.c_str(), opened.c_str(), kPassword, kCryptBlowfish, &flag);
        EXPECT_FALSE(ok) << (encrypt ? "encrypt" : "decrypt");
        EXPECT_EQ(g_readCalls, 1) << (encrypt ? "encrypt" : "decrypt");
        EXPECT_FALSE(TempDir::FileExists(opened));
    }
    EXPECT_EQ(FolderContents(m_dir.Path()).size(), 2u);
}

// One routine on a thread of its own, so that a call that waits for ever fails the test instead of hanging it.
struct CryptCall {
    bool m_encrypt;
    const wchar_t* m_source;
    const wchar_t* m_destination;
    CancelFlag* m_cancel;
    BOOL m_result = TRUE;

    static DWORD WINAPI Run(void* context)
    {
        auto* call = static_cast<CryptCall*>(context);
        call->m_result =
            call->m_encrypt
                ? EncryptFileToFile(call->m_source, call->m_destination, kPassword, kCryptBlowfish, call->m_cancel)
                : DecryptFileToFile(call->m_source, call->m_destination, kPassword, kCryptBlowfish, call->m_cancel);
        return 0;
    }
};

TEST_F(FileCrypt, EveryNonZeroCancelValueStopsBothDirectionsWithoutWaiting)
{
    // 2 is the value by which the shredding jobs' owner holds them; these routines have no hold to wait out.
    const std::wstring source = m_dir.WriteFile(L"plain.bin", Pattern(8 * 1024 + 5));
    const std::wstring sealed = m_dir.Join(L"sealed.bin");
    const std::wstring opened = m_dir.Join(L"opened.bin");
    ASSERT_TRUE(EncryptFileToFile(source.c_str(), sealed.c_str(), kPassword, kCryptBlowfish, nullptr));

    ImportPatch<decltype(::ReadFile)> read("ReadFile", &FakeReadFile);
    g_read = &read;
    ASSERT_TRUE(read.IsActive());
    for (int32_t value : {1, -1, 2, INT_MAX}) {
        for (bool encrypt : {true, false}) {
            // Set before the call: no chunk is read. Set while the first chunk is read: no second one is.
            for (bool beforeTheCall : {true, false}) {
                SCOPED_TRACE(testing::Message() << "value " << value << (encrypt ? ", encrypt" : ", decrypt")
                                                << (beforeTheCall ? ", set before the call" : ", set during it"));
                CancelFlag flag{beforeTheCall ? value : kCancelGoOn};
                g_cancelAfterRead = beforeTheCall ? nullptr : &flag;
                g_cancelValue = value;
                g_readCalls = 0;
                CryptCall call{encrypt, encrypt ? source.c_str() : sealed.c_str(), opened.c_str(), &flag};
                HANDLE thread = CreateThread(nullptr, 0, &CryptCall::Run, &call, 0, nullptr);
                ASSERT_NE(nullptr, thread);
                // The flag stays as it is: a call that waited for it to change would never end by itself.
                // The bound only keeps such a fault from holding the test program up; it is no measure of
                // how long the call may take on a loaded machine.
                const DWORD waited = WaitForSingleObject(thread, 60000);
                EXPECT_EQ(WAIT_OBJECT_0, waited) << "still running after a minute: the call waits for the flag";
                if (waited != WAIT_OBJECT_0) {
                    flag.store(kCancelStop);  // lets a waiting call go, so that the test goes on
                    WaitForSingleObject(thread, INFINITE);
                }
                CloseHandle(thread);
                g_cancelAfterRead = nullptr;
                EXPECT_FALSE(call.m_result);
                EXPECT_EQ(beforeTheCall ? 0 : 1, g_readCalls);
                EXPECT_FALSE(TempDir::FileExists(opened));
            }
        }
    }
    EXPECT_EQ(FolderContents(m_dir.Path()).size(), 2u);
}

TEST_F(FileCrypt, ShortReadsFillTheChunkInEncryptionAndFailDecryption)
{
    const std::vector<uint8_t> plain = Pattern(3000);
    bool ok = false;
    const std::vector<uint8_t> expected = Encrypt(plain, kCryptAes192, ok);
    ASSERT_TRUE(ok);
    const std::wstring source = m_dir.Join(L"plain.bin");
    const std::wstring sealed = m_dir.Join(L"sealed.bin");
    const std::wstring again = m_dir.Join(L"again.bin");
    const std::wstring opened = m_dir.Join(L"opened.bin");

    ImportPatch<decltype(::ReadFile)> read("ReadFile", &FakeReadFile);
    g_read = &read;
    ASSERT_TRUE(read.IsActive());
    g_readAtMost = 100;  // a pipe or a network file may give less than asked before its end
    ASSERT_TRUE(EncryptFileToFile(source.c_str(), again.c_str(), kPassword, kCryptAes192, nullptr));
    EXPECT_TRUE(TempDir::ReadFile(again) == expected);
    EXPECT_FALSE(DecryptFileToFile(sealed.c_str(), opened.c_str(), kPassword, kCryptAes192, nullptr));
    EXPECT_FALSE(TempDir::FileExists(opened));
}

TEST_F(FileCrypt, FailedReadsAndWritesLeaveNothingAndKeepTheDestination)
{
    const std::vector<uint8_t> plain = Pattern(5000);  // 5 chunks, then the final piece
    bool ok = false;
    Encrypt(plain, kCryptDesEde3, ok);
    ASSERT_TRUE(ok);
    const std::wstring source = m_dir.Join(L"plain.bin");
    const std::wstring sealed = m_dir.Join(L"sealed.bin");
    const std::wstring destination = m_dir.Join(L"kept.bin");

    ImportPatch<decltype(::ReadFile)> read("ReadFile", &FakeReadFile);
    g_read = &read;
    ImportPatch<decltype(::WriteFile)> write("WriteFile", &FakeWriteFile);
    g_write = &write;
    ASSERT_TRUE(read.IsActive() && write.IsActive());

    struct Case { const char* what; int readFails; int writeFails; bool shortWrite; };
    const Case cases[] = {
        {"first read fails", 0, -1, false},
        {"a middle read fails", 3, -1, false},
        {"the last read fails", 4, -1, false},
        {"first write fails", -1, 0, false},
        {"the final write fails", -1, 4, false},
        {"a middle write comes one byte short", -1, 2, true},
        {"the final write comes one byte short", -1, 4, true},
    };
    const std::vector<uint8_t> kept = {'o', 'l', 'd'};
    for (const Case& c : cases) {
        for (bool encrypt : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.what << (encrypt ? ", encrypt" : ", decrypt"));
            m_dir.WriteFile(L"kept.bin", kept);
            g_readCalls = g_writeCalls = 0;
            g_readFailsAt = c.readFails;
            g_writeFailsAt = c.writeFails;
            g_writeShort = c.shortWrite;
            const BOOL result =
                encrypt ? EncryptFileToFile(source.c_str(), destination.c_str(), kPassword, kCryptDesEde3, nullptr)
                        : DecryptFileToFile(sealed.c_str(), destination.c_str(), kPassword, kCryptDesEde3, nullptr);
            g_readFailsAt = g_writeFailsAt = -1;
            EXPECT_FALSE(result);
            EXPECT_TRUE(TempDir::ReadFile(destination) == kept);
            EXPECT_EQ(FolderContents(m_dir.Path()).size(), 3u);
        }
    }
}

TEST_F(FileCrypt, AFailedAllocationAnywhereFailsCleanly)
{
    const std::vector<uint8_t> plain = Pattern(2100);
    bool ok = false;
    Encrypt(plain, kCryptAes256, ok);
    ASSERT_TRUE(ok);
    const std::wstring source = m_dir.Join(L"plain.bin");
    const std::wstring sealed = m_dir.Join(L"sealed.bin");
    const std::wstring destination = m_dir.Join(L"kept.bin");
    const std::vector<uint8_t> kept = {'o', 'l', 'd'};
    m_dir.WriteFile(L"kept.bin", kept);

    for (bool encrypt : {true, false}) {
        // Let the first n allocations of the call succeed, for every n until the call needs no more.
        int failures = 0;
        for (int64_t n = 0;; ++n) {
            ASSERT_LT(n, 1000) << "the call never got through";
            BOOL result;
            int64_t refused;
            {
                allocations::FailAfter limit(n);
                result = encrypt
                    ? EncryptFileToFile(source.c_str(), destination.c_str(), kPassword, kCryptAes256, nullptr)
                    : DecryptFileToFile(sealed.c_str(), destination.c_str(), kPassword, kCryptAes256, nullptr);
                refused = limit.Failed();
            }
            if (refused == 0) {
                EXPECT_TRUE(result) << n;
                break;
            }
            ++failures;
            EXPECT_FALSE(result) << n;
            ASSERT_TRUE(TempDir::ReadFile(destination) == kept) << n;
            ASSERT_EQ(FolderContents(m_dir.Path()).size(), 3u) << n;
        }
        EXPECT_GT(failures, 2) << (encrypt ? "encrypt" : "decrypt");
        EXPECT_TRUE(TempDir::ReadFile(destination) == (encrypt ? TempDir::ReadFile(sealed) : plain));
        m_dir.WriteFile(L"kept.bin", kept);
    }
}

}  // namespace
