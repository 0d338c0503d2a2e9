// The settings record and its registry helpers.
#include "Settings.h"

const wchar_t kSettingsKeyPath[] = L"SOFTWARE\\Corvane\\Pellumar\\General";

namespace {
const DWORD kDefaultVersionNotify = 1;
const DWORD kDefaultDeleteMethod = 0;
const DWORD kDefaultRemoveReadOnly = 0;
}  // namespace

bool CSettings::ReadDwordValue(HKEY key, CString name, DWORD* field, DWORD defaultValue)
{
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    LONG result = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(field), &size);
    if (result != ERROR_SUCCESS) {
        *field = defaultValue;
        return false;
    }
    return true;
}

bool CSettings::WriteDwordValue(HKEY key, CString name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(DWORD)) ==
           ERROR_SUCCESS;
}

CGeneralSettings::CGeneralSettings()
    : m_versionNotify(kDefaultVersionNotify),
      m_deleteMethod(kDefaultDeleteMethod),
      m_removeReadOnly(kDefaultRemoveReadOnly)
{
}

bool CGeneralSettings::Serialize(bool load)
{
    HKEY key = nullptr;
    if (load) {
        m_versionNotify = kDefaultVersionNotify;
        m_deleteMethod = kDefaultDeleteMethod;
        m_removeReadOnly = kDefaultRemoveReadOnly;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        ReadDwordValue(key, L"VersionNotify", &m_versionNotify, kDefaultVersionNotify);
        ReadDwordValue(key, L"DeleteMethod", &m_deleteMethod, kDefaultDeleteMethod);
        ReadDwordValue(key, L"RemoveReadOnly", &m_removeReadOnly, kDefaultRemoveReadOnly);
    } else {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return false;
        WriteDwordValue(key, L"VersionNotify", m_versionNotify);
        WriteDwordValue(key, L"DeleteMethod", m_deleteMethod);
        WriteDwordValue(key, L"RemoveReadOnly", m_removeReadOnly);
    }
    RegCloseKey(key);
    return true;
}
