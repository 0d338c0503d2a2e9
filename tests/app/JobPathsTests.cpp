// Which folder entries the counting and shredding walks take for links. Wine gives a Unix link no reparse
// tag, so the tags Windows gives junctions, symbolic links and other reparse points are shown here on
// find records made by hand.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/jobs/JobPaths.h"

namespace {

TEST(JobPathsTest, OnlyFoldersThatNameAnotherPlaceAreLinks)
{
    struct Case {
        const char* what;
        DWORD attributes;
        DWORD tag;
        bool link;
    };
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY, reparse = FILE_ATTRIBUTE_REPARSE_POINT;
    const Case cases[] = {
        {"a junction or mounted folder", folder | reparse, IO_REPARSE_TAG_MOUNT_POINT, true},
        {"a symbolic link to a folder", folder | reparse, IO_REPARSE_TAG_SYMLINK, true},
        {"a Unix link to a folder under Wine (no tag)", folder | reparse, 0, true},
        {"a cloud placeholder folder", folder | reparse, IO_REPARSE_TAG_CLOUD_1, false},
        {"a deduplicated folder", folder | reparse, IO_REPARSE_TAG_DEDUP, false},
        {"a plain folder", folder, 0, false},
        {"a symbolic link to a file", reparse, IO_REPARSE_TAG_SYMLINK, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WIN32_FIND_DATAW entry = {};
        entry.dwFileAttributes = c.attributes;
        entry.dwReserved0 = c.tag;
        EXPECT_EQ(c.link, IsFolderLink(entry));
    }
}

}  // namespace
