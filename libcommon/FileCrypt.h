#pragma once
// Password-based file encryption of the makers' library: an encrypted copy of a file, the decrypted copy
// of such a file, and the key derivation both use. Carried by the installer library; the program does not
// link it.
//
// The encrypted format is a stored format and stays as it is: the CBC encryption of the whole plaintext
// under a zero initialisation vector, PKCS #7 padding at its end, nothing else (no header, no salt, no
// check value). The key is PBKDF1 over SHA-512 of the password's UTF-16LE bytes with a fixed salt of
// seven zero bytes and 10 iterations. There is no integrity check: a damaged file decrypts to damaged
// plaintext, and about one wrong password in 256 passes the padding check and gives garbage.
//
// Both routines return TRUE when the whole destination was written. They write a temporary file beside
// the destination and move it over the destination only on success, so that a failure (FALSE) never
// harms a destination that existed before and leaves nothing new behind. They throw nothing.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "libcommon/CancelFlag.h"

// The ciphers, by number. Every one runs in CBC mode with a zero initialisation vector.
enum FileCryptAlgorithm : int32_t {
    kCryptAes256 = 0,    // Rijndael, 32-byte key, 16-byte blocks
    kCryptAes192 = 1,    // Rijndael, 24-byte key
    kCryptAes128 = 2,    // Rijndael, 16-byte key
    kCryptBlowfish = 3,  // Blowfish, 16-byte key, 8-byte blocks
    kCryptDesEde3 = 4,   // triple DES, 24-byte key, 8-byte blocks
};

// Writes the encryption of source to destination. An algorithm outside 0-4 gives FALSE before any file is
// opened. The cancel flag (NULL: never) is polled before every 1024-byte chunk; any value but 0 there
// gives FALSE at once (a hold, kCancelHold, is no reason to wait here).
BOOL EncryptFileToFile(const wchar_t* source, const wchar_t* destination, const wchar_t* password,
                       int32_t algorithm, const CancelFlag* cancel);

// Writes the decryption of source, an encrypted file of the format above, to destination. FALSE for an
// algorithm outside 0-4, a length that is no whole number of blocks, invalid padding (a wrong password or
// a damaged last block), a failed read or write, or a stop, polled before every chunk.
BOOL DecryptFileToFile(const wchar_t* source, const wchar_t* destination, const wchar_t* password,
                       int32_t algorithm, const CancelFlag* cancel);

// The first keyLength (1 to 64) bytes of PBKDF1-SHA512(password, seven zero bytes, 10 iterations). Never
// reports a failure: when the derivation fails, key holds zero bytes.
void DeriveKeyPbkdf1(uint8_t* key, size_t keyLength, const uint8_t* password, size_t passwordLength);

// The same derivation, saying whether it succeeded; the two routines above fail when it does not.
bool TryDeriveKeyPbkdf1(uint8_t* key, size_t keyLength, const uint8_t* password, size_t passwordLength);
