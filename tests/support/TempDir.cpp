#include "TempDir.h"

#include <atomic>

namespace {

std::atomic<unsigned> g_counter{0};

bool WriteAll(HANDLE file, const uint8_t* data, size_t size)
{
    while (size > 0) {
        DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, data, chunk, &written, nullptr) || written != chunk) {
            return false;
        }
        data += chunk;
        size -= chunk;
    }
    return true;
}

}  // namespace

TempDir::TempDir(const wchar_t* prefix)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        return;
    }
    std::wstring base(temp, length);
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[64];
        _snwprintf(name, 64, L"%s-%lu-%lu-%u", prefix, GetCurrentProcessId(), GetTickCount(), g_counter++);
        name[63] = L'\0';
        std::wstring candidate = base + L"\\" + name;
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            m_path = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return;
        }
    }
}

TempDir::~TempDir()
{
    if (!m_path.empty()) {
        RemoveTree(m_path);
    }
}

std::wstring TempDir::Join(const std::wstring& relative) const
{
    return m_path + L"\\" + relative;
}

std::wstring TempDir::WriteFile(const std::wstring& relative, const std::vector<uint8_t>& contents) const
{
    std::wstring path = Join(relative);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::wstring();
    }
    bool ok = WriteAll(file, contents.data(), contents.size());
    CloseHandle(file);
    return ok ? path : std::wstring();
}

std::wstring TempDir::WriteFile(const std::wstring& relative, uint64_t size, uint8_t fill) const
{
    return WriteFile(relative, std::vector<uint8_t>(static_cast<size_t>(size), fill));
}

std::wstring TempDir::MakeFolder(const std::wstring& relative) const
{
    std::wstring path = Join(relative);
    for (size_t i = m_path.size() + 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\') {
            std::wstring part = path.substr(0, i);
            if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return std::wstring();
            }
        }
    }
    return path;
}

std::vector<uint8_t> TempDir::ReadFile(const std::wstring& path)
{
    std::vector<uint8_t> contents;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return contents;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        contents.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (done < contents.size()) {
            DWORD chunk = contents.size() - done > 0x100000 ? 0x100000 : static_cast<DWORD>(contents.size() - done);
            DWORD read = 0;
            if (!::ReadFile(file, contents.data() + done, chunk, &read, nullptr) || read == 0) {
                break;
            }
            done += read;
        }
        contents.resize(done);
    }
    CloseHandle(file);
    return contents;
}

bool TempDir::FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t TempDir::FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return UINT64_MAX;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool TempDir::RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // A link to a folder is removed as the link; its target is not entered.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") {
                    RemoveTree(path + L"\\" + name);
                }
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}
