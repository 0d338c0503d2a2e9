#pragma once
// The rules of the progress and confirmation dialogs that need no window: the percentage, when a list job
// shows itself, the shortened names, the message for each failure of a shredding job and the confirmation
// question and date line. The dialogs only apply them.
#include <windows.h>

#include <cstdint>

#include "framework/CString.h"

// ---- progress dialog ----------------------------------------------------------------------------------

// A list job shows its dialog when counting finds more files than this...
constexpr uint64_t kShowAboveFiles = 10;
// ...or more bytes times passes than this.
constexpr uint64_t kShowAboveBytePasses = 0x40000;

// Whether a counted job of files and bytes, shredded with passes passes, is large enough to show the
// progress dialog. A method without a pass list counts as one pass. The product saturates: a job too big
// to multiply is large.
bool IsLargeJob(uint64_t files, uint64_t bytes, uint64_t passes);

// The whole-number percentage of a job of totalBytes bytes (each written passCount times) after
// bytesProcessed bytes: kibibytes done over kibibytes to do, x 100, truncated and kept within 0-100;
// 0 when there is nothing to do.
int ProgressPercent(uint64_t bytesProcessed, int32_t passCount, uint64_t totalBytes);

// Items still to do, never below 0, as the "%d" of the remaining line takes it.
int RemainingItems(uint64_t totalItems, uint64_t itemsDone);

// A name for a line of the progress dialog: the name itself up to 50 characters, else "..." and its
// last 50.
CString ShortenProgressName(const CString& name);

// The message of a finished shredding job, chosen by its error record.
struct JobFailureMessage {
    UINT m_textId;   // string-table text; 0 = no message box
    UINT m_boxType;  // AfxMessageBox type
    int m_result;    // IDOK or IDCANCEL
};
JobFailureMessage ChooseFailureMessage(int32_t kind, int32_t isFile, DWORD lastError);
// The text of that message for the failed item's full name and code (the name is an argument of the
// format, never the format); empty when there is no message.
CString FormatFailureMessage(const JobFailureMessage& message, const CString& name, DWORD lastError);

// The result of a finished free-space job from its failure flag: only 1 is a failure.
inline int FreeSpaceResult(int32_t failed)
{
    return failed == 1 ? IDCANCEL : IDOK;
}

// The message of a failed free-space job: how much free space the fill could not reach (unwipedBytes;
// 0: the plain failure message).
CString FreeSpaceFailureMessage(uint64_t unwipedBytes);

// ---- confirmation dialog ------------------------------------------------------------------------------

// The name shown for one item: a drive root (3 characters) whole, else the text after the last backslash,
// cut to 30 characters and "..." when longer.
CString ConfirmationShortName(const CString& path);

// The question (string-table id) and the date caption for one item, and whether the date is the creation
// time (else the last-write time).
struct ConfirmationQuestion {
    UINT m_questionId;
    UINT m_dateCaptionId;
    bool m_creationTime;
};
ConfirmationQuestion ChooseConfirmationQuestion(const CString& path, BOOL isFolder, BOOL freeSpace);

// A file time in the current time zone as "MM/DD/YYYY hh:mm"; empty when it cannot be converted.
CString FormatConfirmationTime(const FILETIME& time);
