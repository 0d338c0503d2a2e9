// The window-free rules of the progress and confirmation dialogs, by tables.
#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>

#include "app/jobs/DialogRules.h"
#include "app/res/resource.h"
#include "engine/ShredFile.h"

namespace {

const uint64_t kMiB = 1024 * 1024;

TEST(ShowRuleTest, MoreThanTenFilesOrMoreThan262144BytePassesShowTheDialog)
{
    struct Case {
        uint64_t files, bytes, passes;
        bool large;
    } cases[] = {
        {10, 0, 1, false},
        {11, 0, 1, true},
        {1, 262144, 1, false},
        {1, 262145, 1, true},
        {1, 131072, 2, false},       // 262,144 byte-passes
        {1, 131073, 2, true},        // 262,146
        {10, 7489, 35, false},       // 262,115
        {10, 7490, 35, true},        // 262,150
        {0, 262145, 0, true},        // no pass list counts as one pass
        {0, 262144, 0, false},
        {0, UINT64_MAX / 2, 4, true},  // a product that would wrap round to a small number
        {0, 1ull << 62, 4, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.large, IsLargeJob(c.files, c.bytes, c.passes)) << c.files << " files, " << c.bytes << " bytes, "
                                                                   << c.passes << " passes";
}

TEST(PercentRuleTest, KibibytesDoneOverKibibytesToDoKeptWithin0To100)
{
    struct Case {
        uint64_t processed;
        int32_t passes;
        uint64_t total;
        int percent;
    } cases[] = {
        {15 * kMiB, 3, 10 * kMiB, 50},  // the worked example
        {0, 3, 10 * kMiB, 0},
        {30 * kMiB, 3, 10 * kMiB, 100},
        {31 * kMiB, 3, 10 * kMiB, 100},      // more processed than counted
        {UINT64_MAX, 1, 1024, 100},
        {1023, 1, 2048, 0},                  // below one kibibyte: nothing shown yet
        {1024, 1, 2048, 50},
        {2047, 1, 3000, 50},                 // 1 KiB of 2 KiB (both truncated)
        {5 * kMiB, 1, 0, 0},                 // only empty files counted
        {5 * kMiB, 0, 10 * kMiB, 0},         // no passes
        {5 * kMiB, -3, 10 * kMiB, 0},        // a negative pass count never gives a negative percentage
        {1024, 1, 1000, 0},                  // less than one kibibyte to do
        {99 * kMiB + 1023 * 1024, 1, 100 * kMiB, 99},  // truncated, not rounded
        {1ull << 62, 35, 1ull << 60, 11},    // sizes whose product needs more than 64 bits
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.percent, ProgressPercent(c.processed, c.passes, c.total))
            << c.processed << " of " << c.total << " x " << c.passes;
}

TEST(RemainingRuleTest, NeverBelowZero)
{
    EXPECT_EQ(7, RemainingItems(10, 3));
    EXPECT_EQ(0, RemainingItems(10, 10));
    EXPECT_EQ(0, RemainingItems(3, 10));  // more done than counted (files added after counting)
    EXPECT_EQ(INT_MAX, RemainingItems(UINT64_MAX, 0));
}

TEST(NameRuleTest, ProgressNamesKeepTheirLast50Characters)
{
    const std::wstring fifty(50, L'a');
    EXPECT_EQ(fifty, ShortenProgressName(fifty.c_str()).Str());
    const std::wstring fiftyOne = L"C" + std::wstring(49, L'b') + L"z";
    EXPECT_EQ(L"..." + fiftyOne.substr(1), ShortenProgressName(fiftyOne.c_str()).Str());
    EXPECT_EQ(53, ShortenProgressName(fiftyOne.c_str()).GetLength());
    EXPECT_EQ(L"", ShortenProgressName(L"").Str());
}

TEST(NameRuleTest, ConfirmationNamesAreTheLastPartCutTo30)
{
    struct Case {
        const wchar_t* path;
        const wchar_t* shown;
    } cases[] = {
        {L"C:\\", L"C:\\"},                                          // a drive root whole
        {L"D:\\a\\report.txt", L"report.txt"},
        {L"C:\\x\\123456789012345678901234567890", L"123456789012345678901234567890"},
        {L"C:\\x\\1234567890123456789012345678901", L"123456789012345678901234567890..."},
        {L"C:\\folder\\", L""},                                      // ends with a backslash, not a root
        {L"plain", L"plain"},                                        // no backslash at all
        {L"C:\\%s%d%n", L"%s%d%n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::wstring(c.shown), ConfirmationShortName(c.path).Str()) << c.path;
}

TEST(FailureRuleTest, EveryKindAndCodeGivesOneMessage)
{
    struct Case {
        int32_t kind;
        int32_t isFile;
        DWORD code;
        UINT text;
        UINT box;
        int result;
    } cases[] = {
        {DeleteErrorNone, 1, 0, 0, 0, IDOK},
        {DeleteErrorNone, 0, 5, 0, 0, IDOK},  // kind 0 is success whatever the code
        {DeleteErrorFailed, 1, ERROR_SHARING_VIOLATION, IDS_FILE_IN_USE, MB_OK, IDCANCEL},
        {DeleteErrorFailed, 1, ERROR_LOCK_VIOLATION, IDS_FILE_IN_USE, MB_OK, IDCANCEL},
        {DeleteErrorFailed, 0, ERROR_SHARING_VIOLATION, IDS_FILE_IN_USE, MB_OK, IDCANCEL},
        {DeleteErrorFailed, 1, ERROR_ACCESS_DENIED, IDS_FILE_ACCESS_DENIED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 0, ERROR_ACCESS_DENIED, IDS_FOLDER_ACCESS_DENIED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 1, ERROR_INVALID_PARAMETER, IDS_FILE_FAILED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 0, ERROR_FILE_NOT_FOUND, IDS_FOLDER_FAILED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorNotFound, 1, ERROR_FILE_NOT_FOUND, IDS_FILE_NOT_FOUND, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorCompressed, 1, 0, IDS_COMPRESSED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorEncrypted, 1, 0, IDS_ENCRYPTED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorSparse, 1, 0, IDS_SPARSE, MB_ICONEXCLAMATION, IDCANCEL},
        // What the engine found itself, file or folder alike.
        {DeleteErrorFailed, 1, kLeadsElsewhereError, IDS_LEADS_ELSEWHERE, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 0, kLeadsElsewhereError, IDS_LEADS_ELSEWHERE, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 0, kOtherVolumeError, IDS_OTHER_VOLUME, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 1, kOtherNamesError, IDS_OTHER_NAMES, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 1, kSizeChangedError, IDS_SIZE_CHANGED, MB_ICONEXCLAMATION, IDCANCEL},
        {DeleteErrorFailed, 0, kStillThereError, IDS_STILL_THERE, MB_ICONEXCLAMATION, IDCANCEL},
        {6, 1, 0, 0, 0, IDCANCEL},
        {-1, 1, 0, 0, 0, IDCANCEL},
    };
    for (const Case& c : cases) {
        const JobFailureMessage m = ChooseFailureMessage(c.kind, c.isFile, c.code);
        EXPECT_EQ(c.text, m.m_textId) << "kind " << c.kind << " code " << c.code << " file " << c.isFile;
        EXPECT_EQ(c.box, m.m_boxType) << "kind " << c.kind << " code " << c.code;
        EXPECT_EQ(c.result, m.m_result) << "kind " << c.kind << " code " << c.code;
    }
}

TEST(FailureRuleTest, TextsTakeTheNameAndCodeAsArguments)
{
    const CString name(L"C:\\100%s\\%d%n.txt");
    struct Case {
        int32_t kind;
        int32_t isFile;
        DWORD code;
        const wchar_t* text;
    } cases[] = {
        {1, 1, 32, L"The action can't be completed because the file C:\\100%s\\%d%n.txt is open by another "
                   L"application. Close the file and try again"},
        {1, 1, 5, L"Failed to delete file C:\\100%s\\%d%n.txt access is denied."},
        {1, 0, 5, L"Failed to delete folder C:\\100%s\\%d%n.txt access is denied."},
        {1, 0, 2, L"Failed to delete folder C:\\100%s\\%d%n.txt error : [2]"},
        {1, 1, 87, L"Failed to delete file C:\\100%s\\%d%n.txt error : [87]"},
        {2, 1, 2, L"Failed to delete file C:\\100%s\\%d%n.txt as it does not exit."},
        {3, 1, 0, L"Shredding of compressed files/folders not supported."},
        {4, 1, 0, L"Shredding of encrypted files/folders not supported."},
        {5, 1, 0, L"Shredding of sparsed files/folder not supported."},
        {1, 1, kOtherNamesError, L"Failed to delete file C:\\100%s\\%d%n.txt: its data has other names as well (hard "
                                 L"links). Shred it by all of its names or by none; nothing of it was changed."},
        {1, 0, kStillThereError, L"Failed to delete C:\\100%s\\%d%n.txt: it was reported deleted, but it is still there."},
        {0, 1, 5, L""},
        {9, 1, 5, L""},
    };
    for (const Case& c : cases) {
        const JobFailureMessage m = ChooseFailureMessage(c.kind, c.isFile, c.code);
        EXPECT_EQ(std::wstring(c.text), FormatFailureMessage(m, name, c.code).Str()) << "kind " << c.kind;
    }
}

TEST(FailureRuleTest, OnlyAFailureFlagOf1FailsAFreeSpaceJob)
{
    EXPECT_EQ(IDCANCEL, FreeSpaceResult(1));
    for (int32_t failed : {0, 2, -1, 0x7fffffff})
        EXPECT_EQ(IDOK, FreeSpaceResult(failed)) << failed;
}

TEST(FailureRuleTest, AFreeSpaceFailureSaysHowMuchFreeSpaceCouldNotBeWiped)
{
    EXPECT_EQ(std::wstring(L"Failed to purge free space"), FreeSpaceFailureMessage(0).Str());
    struct Case {
        uint64_t bytes;
        const wchar_t* amount;
    } cases[] = {
        {1000, L"1000 bytes (1000 bytes)"},
        {196608, L"192 KB (196608 bytes)"},
        {5 * kMiB + 1, L"5 MB (5242881 bytes)"},
        {5ull << 30, L"5 GB (5368709120 bytes)"},
        {3ull << 40, L"3 TB (3298534883328 bytes)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::wstring(L"Failed to purge free space: ") + c.amount + L" of the free space could not be wiped.",
                  FreeSpaceFailureMessage(c.bytes).Str());
    }
}

TEST(ConfirmationRuleTest, QuestionAndDateByKindOfItem)
{
    struct Case {
        const wchar_t* path;
        BOOL folder, freeSpace;
        UINT question, caption;
        bool creation;
    } cases[] = {
        {L"C:\\", TRUE, TRUE, IDS_CONFIRM_FREE_SPACE, IDS_DATE_CREATED, true},
        {L"C:\\", TRUE, FALSE, IDS_CONFIRM_DRIVE, IDS_DATE_CREATED, true},
        {L"C:\\data", TRUE, FALSE, IDS_CONFIRM_FOLDER, IDS_DATE_CREATED, true},
        {L"C:\\data", TRUE, TRUE, IDS_CONFIRM_FOLDER, IDS_DATE_CREATED, true},
        {L"C:\\a.txt", FALSE, FALSE, IDS_CONFIRM_FILE, IDS_DATE_MODIFIED, false},
        {L"C:\\", FALSE, FALSE, IDS_CONFIRM_FILE, IDS_DATE_MODIFIED, false},
    };
    for (const Case& c : cases) {
        const ConfirmationQuestion q = ChooseConfirmationQuestion(c.path, c.folder, c.freeSpace);
        EXPECT_EQ(c.question, q.m_questionId) << c.path << " " << c.folder << c.freeSpace;
        EXPECT_EQ(c.caption, q.m_dateCaptionId) << c.path;
        EXPECT_EQ(c.creation, q.m_creationTime) << c.path;
    }
}

TEST(ConfirmationRuleTest, TimesInLocalTimeMonthFirstAndNothingWhenUnconvertible)
{
    // 7 March 2024 09:05 in the local time zone, turned into a file time by another road.
    SYSTEMTIME local = {};
    local.wYear = 2024;
    local.wMonth = 3;
    local.wDay = 7;
    local.wHour = 9;
    local.wMinute = 5;
    FILETIME localTime, utcTime;
    ASSERT_TRUE(SystemTimeToFileTime(&local, &localTime));
    ASSERT_TRUE(LocalFileTimeToFileTime(&localTime, &utcTime));
    EXPECT_EQ(L"03/07/2024 09:05", FormatConfirmationTime(utcTime).Str());

    const FILETIME unconvertible = {0xFFFFFFFF, 0xFFFFFFFF};
    EXPECT_EQ(L"", FormatConfirmationTime(unconvertible).Str());
}

}  // namespace
