#pragma once
// The settings record: the program's three per-user settings, kept as DWORD values under
// HKEY_CURRENT_USER\SOFTWARE\Corvane\Pellumar\General. Every load reads the registry anew; nothing caches
// or watches it. No range check applies: what is stored is what is loaded.
#include <windows.h>

#include "framework/CString.h"

// Abstract settings record with the two registry helpers its records use.
class CSettings {
public:
    // true loads, false saves. Returns whether the key could be opened (load) or created (save).
    virtual bool Serialize(bool load) = 0;

    // Reads value name of the open key into *field, at most 4 bytes, byte for byte whatever the value's
    // type; a shorter value leaves the field's other bytes as they were. When the query fails (no such
    // value, data longer than 4 bytes) *field = defaultValue and the result is false.
    static bool ReadDwordValue(HKEY key, CString name, DWORD* field, DWORD defaultValue);
    // Writes value as a 4-byte REG_DWORD; true on success.
    static bool WriteDwordValue(HKEY key, CString name, DWORD value);

protected:
    // Records are members of their owners and never deleted through this class.
    ~CSettings() = default;
};

class CGeneralSettings : public CSettings {
public:
    CGeneralSettings();

    // Load: starts from the defaults, then takes each value that can be read. Save: creates the key
    // (with any missing parent) and writes all three values.
    bool Serialize(bool load) override;

    DWORD m_versionNotify;   // "VersionNotify", default 1: silent update check when the settings window shows
    DWORD m_deleteMethod;    // "DeleteMethod", default 0: erasure-method index
    DWORD m_removeReadOnly;  // "RemoveReadOnly", default 0: kept and saved; nothing acts on it
};

// The key of the settings, below HKEY_CURRENT_USER.
extern const wchar_t kSettingsKeyPath[];
