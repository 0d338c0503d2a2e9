#include "ProgressMessages.h"

#include <new>

namespace {

BOOL PostProgress(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone, uint64_t bytesProcessed,
                  int32_t passCount, int32_t passNumber, int32_t freeSpace)
{
    DeleteProgress* progress;
    try {
        progress = new DeleteProgress{name ? std::wstring(name) : std::wstring(), fileSize, itemsDone,
                                      bytesProcessed, passCount, passNumber, freeSpace};
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return PostPayload(hWnd, WM_DELETE_PROGRESS, progress);
}

template <class T>
BOOL PostValue(HWND hWnd, UINT msg, T value)
{
    T* payload = new (std::nothrow) T(value);
    if (!payload) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return PostPayload(hWnd, msg, payload);
}

}  // namespace

BOOL PostDeleteProgress(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone,
                        uint64_t bytesProcessed, int32_t passCount, int32_t passNumber)
{
    return PostProgress(hWnd, name, fileSize, itemsDone, bytesProcessed, passCount, passNumber, 0);
}

BOOL PostFreeSpaceProgress(HWND hWnd, const wchar_t* name, uint64_t fileSize, uint64_t itemsDone,
                           uint64_t bytesProcessed, int32_t passCount, int32_t passNumber)
{
    return PostProgress(hWnd, name, fileSize, itemsDone, bytesProcessed, passCount, passNumber, 1);
}

BOOL PostFreeSpaceTotal(HWND hWnd, uint64_t freeBytes)
{
    return PostValue<uint64_t>(hWnd, WM_FREE_SPACE_TOTAL, freeBytes);
}

BOOL PostResidentPhase(HWND hWnd, int32_t flag)
{
    return PostValue<int32_t>(hWnd, WM_RESIDENT_PHASE, flag);
}
