#pragma once
// The Authenticode digest of an installer package (.msi) and its comparison with the digest its own
// signature holds: a signature moved onto other package bytes no longer fits them.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/CompoundFile.h"

enum class PackageHash { kSha1, kSha256 };

// The package's digest with hash: when the package holds "\x05MsiDigitalSignatureEx", the hash of its
// metadata comes first; then the contents of every stream, each storage's children in the order of their
// names' UTF-16LE bytes (a name that begins another comes first), sub-storages in place, each storage's
// CLSID after its children. The two signature streams are left out. False when a stream cannot be read.
bool ComputePackageDigest(const CCompoundFile& package, PackageHash hash, std::vector<uint8_t>* digest);

// The hash and digest that the package's signature ("\x05DigitalSignature", a PKCS #7 SignedData over an
// SpcIndirectDataContent) names. False without a signature, or with one that is damaged or names a hash
// other than SHA-1 or SHA-256.
bool GetSignedPackageDigest(const CCompoundFile& package, PackageHash* hash, std::vector<uint8_t>* digest);

// True when file (an open handle of a package, read from its start whatever its position, which is kept)
// is a compound file whose digest equals the one its signature holds.
bool PackageMatchesItsSignature(HANDLE file);
