// The settings record against the real HKEY_CURRENT_USER of the test prefix. Every test starts and ends
// with no SOFTWARE\Corvane key at all.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/Settings.h"

namespace {

const wchar_t kVendorKey[] = L"SOFTWARE\\Corvane";

// Other programs of the prefix keep keys below SOFTWARE\Corvane while these tests run (the real program
// started by other tests reads its settings there, the installer tests' package writes a value of its
// own): HKEY_CURRENT_USER of this process is a private key of the prefix's real registry, which alone the
// tests remove and fill.
class PrivateCurrentUser {
public:
    PrivateCurrentUser()
        : m_path(L"Software\\PellumarTests\\Settings-" + std::to_wstring(GetCurrentProcessId()))
    {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root,
                            nullptr) == ERROR_SUCCESS)
            m_active = RegOverridePredefKey(HKEY_CURRENT_USER, m_root) == ERROR_SUCCESS;
    }
    ~PrivateCurrentUser()
    {
        if (m_active)
            RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        if (m_root)
            RegCloseKey(m_root);
        RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }
    PrivateCurrentUser(const PrivateCurrentUser&) = delete;
    PrivateCurrentUser& operator=(const PrivateCurrentUser&) = delete;
    bool IsActive() const { return m_active; }

private:
    std::wstring m_path;
    HKEY m_root = nullptr;
    bool m_active = false;
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_currentUser.IsActive());
        RemoveVendorKey();
    }
    void TearDown() override { RemoveVendorKey(); }

    static void RemoveVendorKey() { RegDeleteTreeW(HKEY_CURRENT_USER, kVendorKey); }

    static HKEY CreateKey()
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0,
                                                 KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
        return key;
    }

    static void Store(const wchar_t* name, DWORD type, const std::vector<uint8_t>& data)
    {
        HKEY key = CreateKey();
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
        RegCloseKey(key);
    }

    static void StoreDword(const wchar_t* name, DWORD value)
    {
        Store(name, REG_DWORD, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
    }

    static bool KeyExists(const wchar_t* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    PrivateCurrentUser m_currentUser;
};

TEST_F(SettingsTest, ConstructionGivesTheDefaults)
{
    CGeneralSettings settings;
    EXPECT_EQ(1u, settings.m_versionNotify);
    EXPECT_EQ(0u, settings.m_deleteMethod);
    EXPECT_EQ(0u, settings.m_removeReadOnly);
}

TEST_F(SettingsTest, LoadWithoutTheKeyFailsAndGivesTheDefaultsWhateverTheRecordHeld)
{
    CGeneralSettings settings;
    settings.m_versionNotify = 0;
    settings.m_deleteMethod = 9;
    settings.m_removeReadOnly = 1;

    EXPECT_FALSE(settings.Serialize(true));
    EXPECT_EQ(1u, settings.m_versionNotify);
    EXPECT_EQ(0u, settings.m_deleteMethod);
    EXPECT_EQ(0u, settings.m_removeReadOnly);
    EXPECT_FALSE(KeyExists(kVendorKey)) << "a load creates nothing";
}

TEST_F(SettingsTest, MissingValuesTakeTheirDefaultsOneByOne)
{
    StoreDword(L"DeleteMethod", 7);
    CGeneralSettings settings;
    settings.m_versionNotify = 0;
    settings.m_removeReadOnly = 5;

    EXPECT_TRUE(settings.Serialize(true));
    EXPECT_EQ(1u, settings.m_versionNotify);
    EXPECT_EQ(7u, settings.m_deleteMethod);
    EXPECT_EQ(0u, settings.m_removeReadOnly);
}

TEST_F(SettingsTest, LoadTakesDataOfAtMostFourBytesWhateverItsTypeAndDefaultsLongerData)
{
    StoreDword(L"VersionNotify", 0);
    Store(L"DeleteMethod", REG_SZ, {'1', 0, 0, 0});                   // L"1" with its terminator: 4 bytes
    Store(L"RemoveReadOnly", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});  // 8 bytes: the query fails

    CGeneralSettings settings;
    settings.m_removeReadOnly = 3;
    EXPECT_TRUE(settings.Serialize(true));
    EXPECT_EQ(0u, settings.m_versionNotify);
    EXPECT_EQ(49u, settings.m_deleteMethod);  // 0x31, the character '1'
    EXPECT_EQ(0u, settings.m_removeReadOnly);
}

TEST_F(SettingsTest, ReadDwordValueCases)
{
    struct Case {
        const char* what;
        DWORD type;
        std::vector<uint8_t> data;  // empty: no value stored
        bool result;
        DWORD expected;  // field before the call: 0xAABBCCDD, default 0x55
    };
    const Case cases[] = {
        {"a DWORD", REG_DWORD, {7, 0, 0, 0}, true, 7},
        {"a string of 4 bytes", REG_SZ, {'1', 0, 0, 0}, true, 0x31},
        {"two bytes replace only the low two", REG_BINARY, {0x11, 0x22}, true, 0xAABB2211},
        {"five bytes are too long", REG_BINARY, {1, 2, 3, 4, 5}, false, 0x55},
        {"a QWORD is too long", REG_QWORD, {9, 0, 0, 0, 0, 0, 0, 0}, false, 0x55},
        {"no value", REG_DWORD, {}, false, 0x55},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveVendorKey();
        HKEY key = CreateKey();
        if (!c.data.empty()) {
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetValueExW(key, L"Probe", 0, c.type, c.data.data(), static_cast<DWORD>(c.data.size())));
        }
        DWORD field = 0xAABBCCDD;
        EXPECT_EQ(c.result, CSettings::ReadDwordValue(key, L"Probe", &field, 0x55));
        EXPECT_EQ(c.expected, field);
        RegCloseKey(key);
    }
}

TEST_F(SettingsTest, SaveCreatesTheWholePathAndWritesAllThreeValuesAsDwords)
{
    ASSERT_FALSE(KeyExists(kVendorKey));
    CGeneralSettings settings;
    settings.m_versionNotify = 0;
    settings.m_deleteMethod = 200;  // outside 0..11: stored and loaded unchanged
    settings.m_removeReadOnly = 1;
    EXPECT_TRUE(settings.Serialize(false));

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_READ, &key));
    struct Expected { const wchar_t* name; DWORD value; };
    for (const Expected& e : {Expected{L"VersionNotify", 0}, Expected{L"DeleteMethod", 200},
                              Expected{L"RemoveReadOnly", 1}}) {
        DWORD type = 0, value = 0, size = sizeof(value);
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, e.name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size))
            << e.name;
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type) << e.name;
        EXPECT_EQ(4u, size) << e.name;
        EXPECT_EQ(e.value, value) << e.name;
    }
    DWORD values = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                              nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, values);
    RegCloseKey(key);

    CGeneralSettings loaded;
    EXPECT_TRUE(loaded.Serialize(true));
    EXPECT_EQ(0u, loaded.m_versionNotify);
    EXPECT_EQ(200u, loaded.m_deleteMethod);
    EXPECT_EQ(1u, loaded.m_removeReadOnly);
}

TEST_F(SettingsTest, SaveOverwritesValuesOfAnotherTypeWithDwords)
{
    Store(L"DeleteMethod", REG_SZ, {'1', 0, 0, 0});
    CGeneralSettings settings;
    settings.m_deleteMethod = 3;
    EXPECT_TRUE(settings.Serialize(false));

    CGeneralSettings loaded;
    EXPECT_TRUE(loaded.Serialize(true));
    EXPECT_EQ(3u, loaded.m_deleteMethod);
}

}  // namespace
