#pragma once
// The makers' web pages the program opens, all plain HTTP on the makers' host, and the update feed.
#include "framework/CString.h"
#include "libcommon/ProductNames.h"

inline constexpr wchar_t kWebSitePath[] = L"";   // the host's root
inline constexpr wchar_t kForumPath[] = L"/forum/pellumar";
inline constexpr wchar_t kHelpGuidePath[] = L"/pellumar-help-guide/";
inline constexpr wchar_t kUpdateFeedPath[] = L"/wp-content/uploads/Software/pellumar/PellumarVersion.xml";

// "http://", the makers' host and path.
inline CString MakersWebPage(const wchar_t* path)
{
    return CString(L"http://") + kMakersHost + path;
}
