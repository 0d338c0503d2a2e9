// The window-free rules of the progress and confirmation dialogs.
#include "DialogRules.h"

#include <climits>

#include "CalculateMetricsThread.h"
#include "app/res/resource.h"
#include "engine/ShredFile.h"

namespace {

// Names longer than these are cut.
const int kProgressNameLength = 50;
const int kConfirmationNameLength = 30;

}  // namespace

bool IsLargeJob(uint64_t files, uint64_t bytes, uint64_t passes)
{
    if (files > kShowAboveFiles)
        return true;
    // 128 bits: a product that wrapped round would make a huge job look small.
    const unsigned __int128 bytePasses = static_cast<unsigned __int128>(bytes) * (passes ? passes : 1);
    return bytePasses > kShowAboveBytePasses;
}

int ProgressPercent(uint64_t bytesProcessed, int32_t passCount, uint64_t totalBytes)
{
    if (passCount <= 0 || totalBytes == 0)
        return 0;
    const double done = static_cast<double>(bytesProcessed >> 10);
    // In whole kibibytes, truncated, as the numerator; 128 bits so that no size wraps round.
    const unsigned __int128 product = static_cast<unsigned __int128>(passCount) * totalBytes;
    const double toDo = static_cast<double>(product / 1024);
    if (toDo <= 0.0)
        return 0;
    const double percent = done / toDo * 100.0;
    // Kept within 0-100 while still a double: converting an out-of-range double to int is undefined.
    if (!(percent > 0.0))
        return 0;
    if (percent >= 100.0)
        return 100;
    return static_cast<int>(percent);
}

int RemainingItems(uint64_t totalItems, uint64_t itemsDone)
{
    if (itemsDone >= totalItems)
        return 0;
    const uint64_t remaining = totalItems - itemsDone;
    return remaining > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
}

CString ShortenProgressName(const CString& name)
{
    if (name.GetLength() <= kProgressNameLength)
        return name;
    return CString(L"...") + name.Right(kProgressNameLength);
}

CString FreeSpaceFailureMessage(uint64_t unwipedBytes)
{
    CString text;
    if (unwipedBytes == 0) {
        text.LoadString(IDS_FREE_SPACE_FAILED);
        return text;
    }
    uint64_t value = 0;
    const wchar_t* unit = SizeInUnits(unwipedBytes, &value);
    text.Format(IDS_FREE_SPACE_UNWIPED, static_cast<long long>(value), unit, static_cast<long long>(unwipedBytes));
    return text;
}

JobFailureMessage ChooseFailureMessage(int32_t kind, int32_t isFile, DWORD lastError)
{
    switch (kind) {
    case DeleteErrorNone:
        return {0, 0, IDOK};
    case DeleteErrorFailed:
        // What the engine found itself has a message of its own.
        switch (lastError) {
        case kLeadsElsewhereError:
            return {IDS_LEADS_ELSEWHERE, MB_ICONEXCLAMATION, IDCANCEL};
        case kOtherVolumeError:
            return {IDS_OTHER_VOLUME, MB_ICONEXCLAMATION, IDCANCEL};
        case kOtherNamesError:
            return {IDS_OTHER_NAMES, MB_ICONEXCLAMATION, IDCANCEL};
        case kSizeChangedError:
            return {IDS_SIZE_CHANGED, MB_ICONEXCLAMATION, IDCANCEL};
        case kStillThereError:
            return {IDS_STILL_THERE, MB_ICONEXCLAMATION, IDCANCEL};
        default:
            break;
        }
        if (lastError == ERROR_SHARING_VIOLATION || lastError == ERROR_LOCK_VIOLATION)
            return {IDS_FILE_IN_USE, MB_OK, IDCANCEL};
        if (lastError == ERROR_ACCESS_DENIED)
            return {isFile ? UINT(IDS_FILE_ACCESS_DENIED) : UINT(IDS_FOLDER_ACCESS_DENIED), MB_ICONEXCLAMATION, IDCANCEL};
        return {isFile ? UINT(IDS_FILE_FAILED) : UINT(IDS_FOLDER_FAILED), MB_ICONEXCLAMATION, IDCANCEL};
    case DeleteErrorNotFound:
        return {IDS_FILE_NOT_FOUND, MB_ICONEXCLAMATION, IDCANCEL};
    case DeleteErrorCompressed:
        return {IDS_COMPRESSED, MB_ICONEXCLAMATION, IDCANCEL};
    case DeleteErrorEncrypted:
        return {IDS_ENCRYPTED, MB_ICONEXCLAMATION, IDCANCEL};
    case DeleteErrorSparse:
        return {IDS_SPARSE, MB_ICONEXCLAMATION, IDCANCEL};
    default:
        return {0, 0, IDCANCEL};
    }
}

CString FormatFailureMessage(const JobFailureMessage& message, const CString& name, DWORD lastError)
{
    CString text;
    if (message.m_textId != 0) {
        // Texts without "%d" ignore the code, texts without "%s" the name as well.
        text.Format(message.m_textId, name, static_cast<int>(lastError));
    }
    return text;
}

CString ConfirmationShortName(const CString& path)
{
    if (path.GetLength() == 3)
        return path;
    const int slash = path.ReverseFind(L'\\');
    CString name = slash >= 0 ? path.Mid(slash + 1) : path;
    if (name.GetLength() > kConfirmationNameLength)
        name = name.Left(kConfirmationNameLength) + L"...";
    return name;
}

ConfirmationQuestion ChooseConfirmationQuestion(const CString& path, BOOL isFolder, BOOL freeSpace)
{
    if (!isFolder)
        return {IDS_CONFIRM_FILE, IDS_DATE_MODIFIED, false};
    if (path.GetLength() == 3)
        return {freeSpace ? UINT(IDS_CONFIRM_FREE_SPACE) : UINT(IDS_CONFIRM_DRIVE), IDS_DATE_CREATED, true};
    return {IDS_CONFIRM_FOLDER, IDS_DATE_CREATED, true};
}

CString FormatConfirmationTime(const FILETIME& time)
{
    SYSTEMTIME utc;
    SYSTEMTIME local;
    CString text;
    if (FileTimeToSystemTime(&time, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        text.Format(L"%02d/%02d/%d %02d:%02d", static_cast<int>(local.wMonth), static_cast<int>(local.wDay),
                    static_cast<int>(local.wYear), static_cast<int>(local.wHour), static_cast<int>(local.wMinute));
    }
    return text;
}
