#pragma once
// Names and numbers that more than one deliverable spells: the program, the installer library and the
// tests all take them from here, so that the two sides of every cross-process contract agree.

// The product's title; the settings window bears it, and the installer library finds the window by it.
inline constexpr wchar_t kProductTitle[] = L"Corvane Pellumar";
// The program's file name; the installer library ends every process of this name.
inline constexpr wchar_t kProgramFileName[] = L"Pellumar.exe";

// Registered window messages.
inline constexpr wchar_t kShowMainWindowMessageName[] = L"ZQWREG_3C92E8A7-6B15-4D0F-A3E9-58F1B24C07D6";
inline constexpr wchar_t kCloseAppMessageName[] = L"ZQWCLOSE_E7A40C59-1F36-4E82-8B5D-A29C63F7D014";
inline constexpr wchar_t kTrayNotifyMessageName[] = L"NOTIFY_TASKBAR_ICON_QZ";

// The running version.
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionBuild = 1;
inline constexpr wchar_t kVersionText[] = L"1.0.1";

// The makers' web host: the web site, forum, help guide, survey page and update feed all live there.
// A reserved name: the makers publish their real host when they ship.
inline constexpr wchar_t kMakersHost[] = L"www.corvane.example";

// The makers' code-signing key: the SHA-256 of the DER SubjectPublicKeyInfo of the certificate that signs
// their update installers, as 64 lower-case hex digits. An update is started only when its signer's
// certificate carries this key. A reserved value that no key hashes to: the makers put their key's digest
// here when they ship. A test build names a header of its own that defines the constant for its test key.
#ifdef PELLUMAR_SIGNING_KEY_HEADER
#include PELLUMAR_SIGNING_KEY_HEADER
#else
constexpr char kMakersSigningKeySha256[] = "0000000000000000000000000000000000000000000000000000000000000000";
#endif
