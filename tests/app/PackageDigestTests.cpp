// The package digest of an .msi: equal to the one osslsigncode calculates for the build's packages, and
// binding the makers' signature to the package's bytes: a signature moved onto another package, a changed,
// added or removed stream or storage, and damaged compound files are refused (and not crashed on).
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "PackageDigests.h"
#include "TempDir.h"
#include "TestText.h"
#include "app/CompoundFile.h"
#include "app/PackageDigest.h"
#include "app/UpdateFile.h"
#include "libcommon/ProductNames.h"

namespace {

std::wstring BuiltFile(const std::wstring& name)
{
    std::wstring path = L"Z:" + std::wstring(PELLUMAR_UPDATE_FILES_DIR) + L"/" + name;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

struct Handle {
    explicit Handle(const std::wstring& path)
        : h(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
    HANDLE h;
};

// Both ways the update check is made: through a held handle and by the path alone.
void ExpectSignature(const std::wstring& path, bool passes)
{
    EXPECT_EQ(HasPublisherSignature(path.c_str(), nullptr, kUpdatePublisherName, kMakersSigningKeySha256), passes);
    Handle file(path);
    ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(HasPublisherSignature(path.c_str(), file.h, kUpdatePublisherName, kMakersSigningKeySha256), passes);
}

}

TEST(PackageDigest, EqualsTheDigestOsslsigncodeCalculates)
{
    // SHA-256 and SHA-1 signatures, one with the metadata stream, and the package a signature was moved to.
    ASSERT_GE(std::size(kCalculatedPackageDigests), 4u);
    for (const CalculatedPackageDigest& expected : kCalculatedPackageDigests) {
        SCOPED_TRACE(testing::Message() << CStringA(expected.name).GetString());
        Handle file(BuiltFile(expected.name));
        ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
        CCompoundFile package;
        ASSERT_TRUE(package.Open(file.h));
        PackageHash hash = PackageHash::kSha256;
        std::vector<uint8_t> signedDigest, computed;
        ASSERT_TRUE(GetSignedPackageDigest(package, &hash, &signedDigest));
        ASSERT_TRUE(ComputePackageDigest(package, hash, &computed));
        EXPECT_EQ(Hex(computed), expected.digest);
        EXPECT_EQ(Hex(computed) == Hex(signedDigest), wcsncmp(expected.name, L"makers-", 7) == 0);
    }
}

TEST(PackageDigest, TheMakersPackagesPassAndASignatureMovedOntoAnotherPackageOrOfAnotherHashDoesNot)
{
    for (const wchar_t* name : { L"makers-update-1.2.3.msi", L"makers-sha1-update-1.2.3.msi", L"makers-ex-update-1.2.3.msi",
                                 L"makers-large-1.2.3.msi" }) {
        SCOPED_TRACE(testing::Message() << CStringA(name).GetString());
        ExpectSignature(BuiltFile(name), true);
    }
    // WinVerifyTrust lets these pass under Wine: only the digest refuses them.
    ExpectSignature(BuiltFile(L"transplanted-update-1.2.3.msi"), false);
    ExpectSignature(BuiltFile(L"transplanted-large-1.2.3.msi"), false);
    // A hash the package digest is not made with here.
    ExpectSignature(BuiltFile(L"makers-sha512-update-1.2.3.msi"), false);
}

// ---- the makers' packages changed through the system's own structured storage ---------------------------

namespace {

// The root's streams: name and first bytes.
struct StreamInfo {
    std::wstring name;
    std::string head;
};

std::vector<StreamInfo> RootStreams(IStorage* root)
{
    std::vector<StreamInfo> streams;
    IEnumSTATSTG* items = nullptr;
    if (FAILED(root->EnumElements(0, nullptr, 0, &items)))
        return streams;
    STATSTG item{};
    while (items->Next(1, &item, nullptr) == S_OK) {
        if (item.type == STGTY_STREAM) {
            StreamInfo info{ item.pwcsName, std::string() };
            IStream* stream = nullptr;
            if (SUCCEEDED(root->OpenStream(item.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream))) {
                char head[4] = {};
                ULONG got = 0;
                stream->Read(head, sizeof(head), &got);
                info.head.assign(head, got);
                stream->Release();
            }
            streams.push_back(info);
        }
        ::CoTaskMemFree(item.pwcsName);
    }
    items->Release();
    return streams;
}

// Flips the bits of one byte of the stream at offset.
bool FlipByte(IStorage* root, const std::wstring& name, ULONG offset)
{
    IStream* stream = nullptr;
    if (FAILED(root->OpenStream(name.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &stream)))
        return false;
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    uint8_t byte = 0;
    ULONG done = 0;
    bool flipped = SUCCEEDED(stream->Seek(at, STREAM_SEEK_SET, nullptr)) && SUCCEEDED(stream->Read(&byte, 1, &done)) && done == 1;
    byte ^= 0xFF;
    flipped = flipped && SUCCEEDED(stream->Seek(at, STREAM_SEEK_SET, nullptr)) && SUCCEEDED(stream->Write(&byte, 1, &done)) &&
              done == 1;
    stream->Release();
    return flipped;
}

const StreamInfo* Find(const std::vector<StreamInfo>& streams, const std::function<bool(const StreamInfo&)>& test)
{
    for (const StreamInfo& s : streams)
        if (test(s))
            return &s;
    return nullptr;
}

bool IsCabinet(const StreamInfo& s) { return s.head == "MSCF"; }
// A database table: its encoded name begins with the table mark.
bool IsTable(const StreamInfo& s) { return !s.name.empty() && s.name[0] == 0x4840 && !s.head.empty(); }

}

TEST(PackageDigest, TheMakersSignatureWrittenIntoTheUnsignedPackageFitsIt)
{
    // The signing tool writes its own compound file (the large one with 4096-byte sectors); here the
    // system's structured storage adds the signature to the package as the build made it, in place: for the
    // large one with 512-byte sectors and a FAT listed partly outside the header.
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    for (const wchar_t* name : { L"update-1.2.3.msi", L"large-1.2.3.msi" }) {
        SCOPED_TRACE(testing::Message() << CStringA(name).GetString());
        const std::vector<uint8_t> unsignedBytes = TempDir::ReadFile(BuiltFile(std::wstring(L"unsigned-") + name));
        ASSERT_EQ(unsignedBytes[26], 3) << "512-byte sectors";
        const std::vector<uint8_t> signature = TempDir::ReadFile(BuiltFile(std::wstring(L"makers-") + name + L".sig"));
        ASSERT_FALSE(signature.empty());
        TempDir dir;
        const std::wstring path = dir.WriteFile(L"setup.msi", unsignedBytes);
        IStorage* root = nullptr;
        ASSERT_TRUE(SUCCEEDED(::StgOpenStorage(path.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DIRECT, nullptr,
                                               0, &root)));
        IStream* stream = nullptr;
        ULONG done = 0;
        const bool written = SUCCEEDED(root->CreateStream(L"\x05" L"DigitalSignature", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                          0, 0, &stream)) &&
                             SUCCEEDED(stream->Write(signature.data(), static_cast<ULONG>(signature.size()), &done)) &&
                             done == signature.size();
        if (stream)
            stream->Release();
        root->Commit(STGC_DEFAULT);
        root->Release();
        ASSERT_TRUE(written);
        Handle file(path);
        EXPECT_TRUE(PackageMatchesItsSignature(file.h));
    }
    ::CoUninitialize();
}

TEST(PackageDigest, AChangedAddedOrRemovedPartOfTheMakersPackageIsRefused)
{
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    struct Case {
        const char* what;
        const wchar_t* package;
        std::function<bool(IStorage*)> change;
    };
    auto flip = [](std::function<bool(const StreamInfo&)> which) {
        return [which](IStorage* root) {
            const std::vector<StreamInfo> streams = RootStreams(root);
            const StreamInfo* target = Find(streams, which);
            return target && FlipByte(root, target->name, 1);
        };
    };
    auto addStream = [](IStorage* root) {
        IStream* stream = nullptr;
        if (FAILED(root->CreateStream(L"Extra", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream)))
            return false;
        ULONG done = 0;
        const bool written = SUCCEEDED(stream->Write("added", 5, &done)) && done == 5;
        stream->Release();
        return written;
    };
    auto addStorage = [](IStorage* root) {
        IStorage* storage = nullptr;
        if (FAILED(root->CreateStorage(L"Extra", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &storage)))
            return false;
        storage->Release();
        return true;
    };
    auto removeCabinet = [](IStorage* root) {
        const std::vector<StreamInfo> streams = RootStreams(root);
        const StreamInfo* cabinet = Find(streams, IsCabinet);
        return cabinet && SUCCEEDED(root->DestroyElement(cabinet->name.c_str()));
    };
    auto renameCabinet = [](IStorage* root) {
        const std::vector<StreamInfo> streams = RootStreams(root);
        const StreamInfo* cabinet = Find(streams, IsCabinet);
        return cabinet && SUCCEEDED(root->RenameElement(cabinet->name.c_str(), L"Renamed"));
    };
    auto newClass = [](IStorage* root) {
        const CLSID other = { 0x2D7B4E19, 0x5C8A, 0x4F36, { 0x9E, 0x02, 0xB6, 0x1A, 0x3C, 0x7D, 0x8F, 0x54 } };
        return SUCCEEDED(root->SetClass(other));
    };
    const Case cases[] = {
        { "one byte of a table", L"makers-update-1.2.3.msi", flip(IsTable) },
        { "one byte of the cabinet", L"makers-update-1.2.3.msi", flip(IsCabinet) },
        { "one byte of the cabinet, SHA-1", L"makers-sha1-update-1.2.3.msi", flip(IsCabinet) },
        { "one byte of the cabinet, with metadata", L"makers-ex-update-1.2.3.msi", flip(IsCabinet) },
        { "an added stream", L"makers-update-1.2.3.msi", addStream },
        { "an added storage", L"makers-update-1.2.3.msi", addStorage },
        { "the cabinet removed", L"makers-update-1.2.3.msi", removeCabinet },
        { "the root's class changed", L"makers-update-1.2.3.msi", newClass },
        { "a stream renamed, with metadata", L"makers-ex-update-1.2.3.msi", renameCabinet },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::wstring path = dir.WriteFile(L"setup.msi", TempDir::ReadFile(BuiltFile(c.package)));
        ASSERT_FALSE(path.empty());
        ExpectSignature(path, true);
        IStorage* root = nullptr;
        ASSERT_TRUE(SUCCEEDED(::StgOpenStorage(path.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DIRECT, nullptr,
                                               0, &root)));
        const bool changed = c.change(root);
        root->Commit(STGC_DEFAULT);
        root->Release();
        ASSERT_TRUE(changed);
        ExpectSignature(path, false);
    }
    ::CoUninitialize();
}

// ---- damaged compound files ------------------------------------------------------------------------------

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Set32(std::vector<uint8_t>& b, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Where things are in a version-3 file (512-byte sectors): a sector, the FAT entry of a sector (first FAT
// sector only), a directory entry of the first directory sector.
size_t SectorAt(uint32_t sector) { return (static_cast<size_t>(sector) + 1) * 512; }
size_t FatEntryAt(const std::vector<uint8_t>& b, uint32_t sector) { return SectorAt(Get32(b, 76)) + 4 * sector; }
size_t EntryAt(const std::vector<uint8_t>& b, uint32_t entry) { return SectorAt(Get32(b, 48)) + 128 * entry; }

}

TEST(PackageDigest, DamagedPackagesAreRefusedNotCrashedOn)
{
    const std::vector<uint8_t> intact = TempDir::ReadFile(BuiltFile(L"makers-update-1.2.3.msi"));
    ASSERT_GT(intact.size(), 4096u);
    ASSERT_EQ(intact[26], 3) << "the package is a version-3 compound file";
    ASSERT_EQ(intact[EntryAt(intact, 1) + 66], CCompoundFile::kStream) << "its second entry is a stream";
    const uint32_t directory = Get32(intact, 48);
    const uint32_t miniFat = Get32(intact, 60);
    ASSERT_LT(directory, 128u);
    ASSERT_LT(miniFat, 128u);

    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    };
    const Case cases[] = {
        { "no compound file", [](std::vector<uint8_t>& b) { b[0] ^= 0xFF; } },
        { "cut to its header", [](std::vector<uint8_t>& b) { b.resize(512); } },
        { "cut in half", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); } },
        { "a sector size of its own", [](std::vector<uint8_t>& b) { b[30] = 7; } },
        { "the directory's chain loops", [&](std::vector<uint8_t>& b) { Set32(b, FatEntryAt(b, directory), directory); } },
        { "the directory starts past the end", [](std::vector<uint8_t>& b) { Set32(b, 48, 0x00FFFFF0); } },
        { "FAT sectors beyond number", [](std::vector<uint8_t>& b) { Set32(b, 44, 0xFFFFFFF0); } },
        { "mini FAT sectors beyond number", [](std::vector<uint8_t>& b) { Set32(b, 64, 0xFFFFFFF0); } },
        { "the mini FAT's chain loops", [&](std::vector<uint8_t>& b) { Set32(b, FatEntryAt(b, miniFat), miniFat); } },
        { "every mini sector's next is the first",
          [&](std::vector<uint8_t>& b) { std::fill(b.begin() + SectorAt(miniFat), b.begin() + SectorAt(miniFat) + 512, 0); } },
        { "a stream larger than the file", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 1) + 120, 0xFFFFFF00); } },
        { "a stream starting past the end", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 1) + 116, 0x00FFFFF0); } },
        { "a mini stream larger than the file", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 0) + 120, 0xFFFFFF00); } },
        { "a tree link back to the root", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 1) + 68, 0); } },
        { "a tree link to itself", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 1) + 72, 1); } },
        { "a child past the directory", [](std::vector<uint8_t>& b) { Set32(b, EntryAt(b, 0) + 76, 100000); } },
        { "a name longer than its field", [](std::vector<uint8_t>& b) { b[EntryAt(b, 1) + 64] = 66; } },
    };
    TempDir dir;
    {
        const std::wstring path = dir.WriteFile(L"intact.msi", intact);
        Handle file(path);
        EXPECT_TRUE(PackageMatchesItsSignature(file.h));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = intact;
        c.damage(bytes);
        ASSERT_NE(bytes, intact);
        const std::wstring path = dir.WriteFile(L"damaged.msi", bytes);
        Handle file(path);
        ASSERT_NE(file.h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(PackageMatchesItsSignature(file.h));
        EXPECT_FALSE(HasPublisherSignature(path.c_str(), file.h, kUpdatePublisherName, kMakersSigningKeySha256));
    }
}
