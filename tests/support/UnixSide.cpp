#include "UnixSide.h"

#include <cstdint>

namespace {

using UnixNameFunction = char*(CDECL*)(LPCWSTR);

UnixNameFunction UnixNameOf()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<UnixNameFunction>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")))
                  : nullptr;
}

// The Unix path of a Windows path (which need not exist yet), as a wide string for a command line.
std::wstring UnixPathOf(const std::wstring& path)
{
    UnixNameFunction unixName = UnixNameOf();
    if (!unixName)
        return std::wstring();
    char* name = unixName(path.c_str());
    if (!name)
        return std::wstring();
    std::wstring result;
    for (const char* p = name; *p; ++p)
        result += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a Unix program from Wine (Wine starts a Unix executable given by its Z: path) without waiting for it.
bool StartUnix(const wchar_t* program, const std::wstring& arguments)
{
    std::wstring commandLine = std::wstring(L"\"") + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    // The handle of a Unix process does not tell when it ends; callers wait for its effect.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// Wine does not wait for a Unix process through its handle: wait for its effect instead.
bool WaitUntilExists(const std::wstring& path, bool exists)
{
    for (int i = 0; i < 500; ++i) {
        if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == exists)
            return true;
        Sleep(10);
    }
    return false;
}

// Wine does not wait for a Unix process: wait until the folder lists the name (with size bytes, unless
// size is UINT64_MAX).
bool WaitUntilListed(const std::wstring& folder, const std::wstring& name, uint64_t size = UINT64_MAX)
{
    for (int i = 0; i < 500; ++i) {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        bool found = false;
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const uint64_t listed = (uint64_t(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
                found = name == entry.cFileName && (size == UINT64_MAX || listed == size);
            } while (!found && FindNextFileW(search, &entry));
            FindClose(search);
        }
        if (found)
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace

bool CopyToUnixName(const std::wstring& from, const std::wstring& folder, const std::wstring& name)
{
    WIN32_FILE_ATTRIBUTE_DATA source = {};
    const std::wstring unixFrom = UnixPathOf(from);
    const std::wstring unixFolder = UnixPathOf(folder);
    if (unixFrom.empty() || unixFolder.empty())
        return false;
    // cp makes a folder before what goes in it, and a file before its bytes: the copy is made under a name of
    // its own beside the target and then renamed to the name in one step, so that the name is listed only
    // once everything in it is there.
    const std::wstring target = unixFolder + L"/" + name;
    return StartUnix(L"Z:\\bin\\sh", L"-c \"cp -r \\\"$0\\\" \\\"$1\\\" && mv -T \\\"$1\\\" \\\"$2\\\"\" " +
                                        Quoted(unixFrom) + L" " + Quoted(target + L".copying") + L" " + Quoted(target)) &&
           WaitUntilListed(folder, name, GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &source)
                                             ? (uint64_t(source.nFileSizeHigh) << 32) | source.nFileSizeLow
                                             : UINT64_MAX);
}

bool MakeUnixFifo(const std::wstring& folder, const std::wstring& name)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    if (unixFolder.empty())
        return false;
    return StartUnix(L"Z:\\usr\\bin\\mkfifo", Quoted(unixFolder + L"/" + name)) && WaitUntilListed(folder, name);
}

bool UnderWine()
{
    return UnixNameOf() != nullptr;
}

bool MakeUnixLink(const std::wstring& link, const std::wstring& target)
{
    const std::wstring unixLink = UnixPathOf(link);
    const std::wstring unixTarget = UnixPathOf(target);
    if (unixLink.empty() || unixTarget.empty())
        return false;
    return StartUnix(L"Z:\\bin\\ln", L"-s " + Quoted(unixTarget) + L" " + Quoted(unixLink)) &&
           WaitUntilExists(link, true);
}

bool RemoveUnixLink(const std::wstring& link)
{
    const std::wstring unixLink = UnixPathOf(link);
    if (unixLink.empty())
        return false;
    return StartUnix(L"Z:\\bin\\rm", L"-f " + Quoted(unixLink)) && WaitUntilExists(link, false);
}

bool RemoveUnixTree(const std::wstring& folder)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    // Only a test's own folder, a few levels down: never a root, never a path the quoting would split.
    size_t depth = 0;
    for (wchar_t c : unixFolder)
        depth += c == L'/';
    if (unixFolder.empty() || unixFolder[0] != L'/' || depth < 3 || unixFolder.find(L'"') != std::wstring::npos ||
        unixFolder.find(L"/..") != std::wstring::npos)
        return false;
    return StartUnix(L"Z:\\bin\\rm", L"-rf " + Quoted(unixFolder)) && WaitUntilExists(folder, false);
}

bool ExchangeUnixNames(const std::wstring& first, const std::wstring& second)
{
    const std::wstring unixFirst = UnixPathOf(first);
    const std::wstring unixSecond = UnixPathOf(second);
    const DWORD before = GetFileAttributesW(first.c_str());
    if (unixFirst.empty() || unixSecond.empty() || before == INVALID_FILE_ATTRIBUTES)
        return false;
    // 316: renameat2 on x86-64; -100: AT_FDCWD; 2: RENAME_EXCHANGE.
    const std::wstring script = L"-e \"syscall(316, -100, $ARGV[0], -100, $ARGV[1], 2) == 0 or exit 1\" ";
    if (!StartUnix(L"Z:\\usr\\bin\\perl", script + Quoted(unixFirst) + L" " + Quoted(unixSecond)))
        return false;
    for (int i = 0; i < 500; ++i) {
        const DWORD now = GetFileAttributesW(first.c_str());
        if (now != INVALID_FILE_ATTRIBUTES && ((now ^ before) & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        Sleep(10);
    }
    return false;
}

bool MountUnixTmpfs(const std::wstring& folder, const std::wstring& marker)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    if (unixFolder.empty() || GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    return StartUnix(L"Z:\\bin\\mount", L"-t tmpfs -o size=1m pellumar-test " + Quoted(unixFolder)) &&
           WaitUntilExists(marker, false);
}

bool UnmountUnix(const std::wstring& folder, const std::wstring& marker)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    if (unixFolder.empty())
        return false;
    return StartUnix(L"Z:\\bin\\umount", Quoted(unixFolder)) && WaitUntilExists(marker, true);
}

bool SetUnixImmutable(const std::wstring& folder, bool immutable)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    // The shell marks the end of chattr beside the folder: a probe made inside it while chattr runs
    // could be caught by the attribute and stay there.
    const std::wstring done = folder + L".chattr-done";
    const std::wstring unixDone = UnixPathOf(done);
    DeleteFileW(done.c_str());
    if (unixFolder.empty() || unixDone.empty() ||
        !StartUnix(L"Z:\\bin\\sh", std::wstring(L"-c \"chattr ") + (immutable ? L"+i" : L"-i") +
                                        L" \\\"$0\\\" && touch \\\"$1\\\"\" " + Quoted(unixFolder) + L" " +
                                        Quoted(unixDone)))
        return false;
    const bool finished = WaitUntilExists(done, true);
    DeleteFileW(done.c_str());
    if (!finished)
        return false;
    // Whether the file system keeps the attribute: a file can no longer, or again, be made in the folder.
    const std::wstring probe = folder + L"\\immutable-probe";
    HANDLE made = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
    const bool canMake = made != INVALID_HANDLE_VALUE;
    if (canMake)
        CloseHandle(made);
    return canMake != immutable;
}

bool CheckpointUnixJournal(const std::wstring& folder)
{
    const std::wstring unixFolder = UnixPathOf(folder);
    // perl marks the end of a request that worked in the test's temp folder, off the file system written out.
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (unixFolder.empty() || length == 0 || length > MAX_PATH)
        return false;
    const std::wstring done = std::wstring(temp, length) + L"pellumar-checkpoint-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) + L".done";
    const std::wstring unixDone = UnixPathOf(done);
    if (unixDone.empty())
        return false;
    // 0x4004662B: EXT4_IOC_CHECKPOINT, with no flags.
    const std::wstring script = L"-e \"open(my $d, '<', $ARGV[0]) or exit 1; my $flags = pack('L', 0); "
                                L"ioctl($d, 0x4004662B, $flags) or exit 1; open(my $m, '>', $ARGV[1]) or exit 1\" ";
    const bool finished = StartUnix(L"Z:\\usr\\bin\\perl", script + Quoted(unixFolder) + L" " + Quoted(unixDone)) &&
                          WaitUntilExists(done, true);
    DeleteFileW(done.c_str());
    return finished;
}
