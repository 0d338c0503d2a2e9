// The package digest that an .msi's Authenticode signature covers, computed from the compound file.
#include "app/PackageDigest.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

const wchar_t kSignatureStream[] = L"\x05" L"DigitalSignature";
const wchar_t kSignatureExStream[] = L"\x05" L"MsiDigitalSignatureEx";
const char kIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";   // SPC_INDIRECT_DATA_OBJID
const char kSha1Oid[] = "1.3.14.3.2.26";
const char kSha256Oid[] = "2.16.840.1.101.3.4.2.1";

// One running hash (CNG).
class Hasher {
public:
    explicit Hasher(PackageHash hash)
    {
        if (::BCryptOpenAlgorithmProvider(&m_algorithm, hash == PackageHash::kSha1 ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM,
                                          nullptr, 0) != 0) {
            m_algorithm = nullptr;
            return;
        }
        if (::BCryptCreateHash(m_algorithm, &m_hash, nullptr, 0, nullptr, 0, 0) != 0)
            m_hash = nullptr;
    }
    ~Hasher()
    {
        if (m_hash)
            ::BCryptDestroyHash(m_hash);
        if (m_algorithm)
            ::BCryptCloseAlgorithmProvider(m_algorithm, 0);
    }
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    bool Add(const void* bytes, size_t size)
    {
        const uint8_t* at = static_cast<const uint8_t*>(bytes);
        while (m_hash && size > 0) {
            const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1 << 30));
            if (::BCryptHashData(m_hash, const_cast<PUCHAR>(at), piece, 0) != 0)
                m_failed = true;
            at += piece;
            size -= piece;
        }
        return m_hash && !m_failed;
    }
    bool Finish(std::vector<uint8_t>* digest)
    {
        DWORD length = 0, got = 0;
        if (!m_hash || m_failed ||
            ::BCryptGetProperty(m_hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof(length), &got, 0) != 0)
            return false;
        digest->assign(length, 0);
        return ::BCryptFinishHash(m_hash, digest->data(), length, 0) == 0;
    }

private:
    BCRYPT_ALG_HANDLE m_algorithm = nullptr;
    BCRYPT_HASH_HANDLE m_hash = nullptr;
    bool m_failed = false;
};

bool IsSignatureStream(const CCompoundFile::Entry& entry)
{
    return entry.type == CCompoundFile::kStream && (entry.name == kSignatureStream || entry.name == kSignatureExStream);
}

// Children in the digest's order: by the bytes of their UTF-16LE names, a name that begins another first.
std::vector<uint32_t> SortedChildren(const CCompoundFile& package, const CCompoundFile::Entry& storage)
{
    const auto& entries = package.Entries();
    std::vector<uint32_t> children = storage.children;
    std::sort(children.begin(), children.end(), [&](uint32_t a, uint32_t b) {
        const std::wstring& x = entries[a].name;
        const std::wstring& y = entries[b].name;
        const size_t common = std::min(x.size(), y.size());
        for (size_t i = 0; i < common; ++i) {
            const uint8_t xb[2] = { static_cast<uint8_t>(x[i] & 0xFF), static_cast<uint8_t>(x[i] >> 8) };
            const uint8_t yb[2] = { static_cast<uint8_t>(y[i] & 0xFF), static_cast<uint8_t>(y[i] >> 8) };
            if (const int order = memcmp(xb, yb, 2))
                return order < 0;
        }
        return x.size() < y.size();
    });
    return children;
}

void AddName(Hasher& hasher, const std::wstring& name)
{
    for (wchar_t c : name) {
        const uint8_t bytes[2] = { static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8) };
        hasher.Add(bytes, 2);
    }
}

// One entry's metadata in the pre-hash: its name (none for the root), a storage's CLSID or a stream's
// size (32 bits), its state bits and, but for the root, its two times.
void AddMetadata(Hasher& hasher, const CCompoundFile::Entry& entry)
{
    if (entry.type != CCompoundFile::kRoot)
        AddName(hasher, entry.name);
    if (entry.type == CCompoundFile::kStream) {
        const uint32_t size = static_cast<uint32_t>(entry.size);
        const uint8_t bytes[4] = { static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
                                   static_cast<uint8_t>(size >> 24) };
        hasher.Add(bytes, 4);
    } else {
        hasher.Add(entry.clsid, sizeof(entry.clsid));
    }
    hasher.Add(entry.stateBits, sizeof(entry.stateBits));
    if (entry.type != CCompoundFile::kRoot) {
        hasher.Add(entry.created, sizeof(entry.created));
        hasher.Add(entry.modified, sizeof(entry.modified));
    }
}

void AddStorageMetadata(Hasher& hasher, const CCompoundFile& package, const CCompoundFile::Entry& storage)
{
    AddMetadata(hasher, storage);
    for (uint32_t child : SortedChildren(package, storage)) {
        const CCompoundFile::Entry& entry = package.Entries()[child];
        if (storage.type == CCompoundFile::kRoot && IsSignatureStream(entry))
            continue;
        if (entry.type == CCompoundFile::kStorage)
            AddStorageMetadata(hasher, package, entry);
        else
            AddMetadata(hasher, entry);
    }
}

bool AddStorageContents(Hasher& hasher, const CCompoundFile& package, const CCompoundFile::Entry& storage)
{
    for (uint32_t child : SortedChildren(package, storage)) {
        const CCompoundFile::Entry& entry = package.Entries()[child];
        if (storage.type == CCompoundFile::kRoot && IsSignatureStream(entry))
            continue;
        if (entry.type == CCompoundFile::kStorage) {
            if (!AddStorageContents(hasher, package, entry))
                return false;
        } else if (!package.ReadStream(entry, [&](const uint8_t* bytes, size_t size) { return hasher.Add(bytes, size); })) {
            return false;
        }
    }
    return hasher.Add(storage.clsid, sizeof(storage.clsid));
}

const CCompoundFile::Entry* RootStream(const CCompoundFile& package, const wchar_t* name)
{
    for (uint32_t child : package.Entries()[0].children) {
        const CCompoundFile::Entry& entry = package.Entries()[child];
        if (entry.type == CCompoundFile::kStream && entry.name == name)
            return &entry;
    }
    return nullptr;
}

// Signatures are a few kilobytes; anything far larger is no signature of ours.
constexpr uint64_t kMaxSignatureSize = 1 << 20;

}

bool ComputePackageDigest(const CCompoundFile& package, PackageHash hash, std::vector<uint8_t>* digest)
{
    if (package.Entries().empty())
        return false;
    const CCompoundFile::Entry& root = package.Entries()[0];
    Hasher hasher(hash);
    if (RootStream(package, kSignatureExStream)) {
        Hasher metadata(hash);
        std::vector<uint8_t> preHash;
        AddStorageMetadata(metadata, package, root);
        if (!metadata.Finish(&preHash) || !hasher.Add(preHash.data(), preHash.size()))
            return false;
    }
    return AddStorageContents(hasher, package, root) && hasher.Finish(digest);
}

bool GetSignedPackageDigest(const CCompoundFile& package, PackageHash* hash, std::vector<uint8_t>* digest)
{
    const CCompoundFile::Entry* stream = RootStream(package, kSignatureStream);
    if (!stream || stream->size == 0 || stream->size > kMaxSignatureSize)
        return false;
    std::vector<uint8_t> signature;
    if (!package.ReadStream(*stream, [&](const uint8_t* bytes, size_t size) {
            signature.insert(signature.end(), bytes, bytes + size);
            return true;
        }))
        return false;

    bool found = false;
    HCRYPTMSG message = ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    if (!message)
        return false;
    char type[64] = {};
    DWORD typeSize = sizeof(type) - 1;
    std::vector<uint8_t> content;
    DWORD contentSize = 0;
    if (::CryptMsgUpdate(message, signature.data(), static_cast<DWORD>(signature.size()), TRUE) &&
        ::CryptMsgGetParam(message, CMSG_INNER_CONTENT_TYPE_PARAM, 0, type, &typeSize) && strcmp(type, kIndirectDataOid) == 0 &&
        ::CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &contentSize) && contentSize > 0) {
        content.resize(contentSize);
        if (::CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content.data(), &contentSize)) {
            content.resize(contentSize);
            SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
            DWORD indirectSize = 0;
            if (::CryptDecodeObjectEx(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(), contentSize,
                                      CRYPT_DECODE_ALLOC_FLAG, nullptr, &indirect, &indirectSize) &&
                indirect) {
                const char* oid = indirect->DigestAlgorithm.pszObjId;
                const bool sha1 = oid && strcmp(oid, kSha1Oid) == 0, sha256 = oid && strcmp(oid, kSha256Oid) == 0;
                const DWORD expected = sha1 ? 20 : 32;
                if ((sha1 || sha256) && indirect->Digest.cbData == expected) {
                    *hash = sha1 ? PackageHash::kSha1 : PackageHash::kSha256;
                    digest->assign(indirect->Digest.pbData, indirect->Digest.pbData + indirect->Digest.cbData);
                    found = true;
                }
                ::LocalFree(indirect);
            }
        }
    }
    ::CryptMsgClose(message);
    return found;
}

bool PackageMatchesItsSignature(HANDLE file)
{
    // The reads move the file's position; the next reader of the handle finds it where it was.
    LARGE_INTEGER position{}, zero{};
    const bool placed = ::SetFilePointerEx(file, zero, &position, FILE_CURRENT) != FALSE;
    CCompoundFile package;
    PackageHash hash = PackageHash::kSha256;
    std::vector<uint8_t> signedDigest, computed;
    const bool matches = package.Open(file) && GetSignedPackageDigest(package, &hash, &signedDigest) &&
                         ComputePackageDigest(package, hash, &computed) && computed == signedDigest;
    if (placed)
        ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    return matches;
}
