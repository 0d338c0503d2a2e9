#pragma once
// A temporary folder in the Wine prefix's temp folder, made for one test and removed with everything in
// it (read-only items included) when the object goes.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class TempDir {
public:
    // Makes a new, empty folder named <prefix>-<unique> below the temp folder. Check IsValid().
    explicit TempDir(const wchar_t* prefix = L"pellumar");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool IsValid() const { return !m_path.empty(); }
    // Full path of the folder, without a trailing backslash.
    const std::wstring& Path() const { return m_path; }
    // Path() + "\" + relative.
    std::wstring Join(const std::wstring& relative) const;

    // Creates (or replaces) the file relative with the given contents; returns its full path, empty on
    // failure.
    std::wstring WriteFile(const std::wstring& relative, const std::vector<uint8_t>& contents) const;
    std::wstring WriteFile(const std::wstring& relative, uint64_t size, uint8_t fill) const;
    // Creates the folder relative (and its parents); returns its full path, empty on failure.
    std::wstring MakeFolder(const std::wstring& relative) const;

    // The whole contents of a file (empty when it cannot be read; see FileExists).
    static std::vector<uint8_t> ReadFile(const std::wstring& path);
    static bool FileExists(const std::wstring& path);
    // Size of the file, or UINT64_MAX when it cannot be read.
    static uint64_t FileSize(const std::wstring& path);

    // Removes a folder tree, clearing read-only attributes first. true when it is gone.
    static bool RemoveTree(const std::wstring& path);

private:
    std::wstring m_path;
};
