#include <gtest/gtest.h>

#include "framework/CString.h"

// Formatting follows the Microsoft rules whatever the compiler's own printf does: %s in a wide format is
// a wide string, %I64d a 64-bit number (the string-table texts depend on both).
TEST(CStringFormat, WideStringAndSixtyFourBitArguments)
{
    CString s;
    s.Format(L"%s %I64d %d", L"wide", static_cast<__int64>(0x123456789LL), 42);
    EXPECT_STREQ(L"wide 4886718345 42", s.GetString());

    s.Format(L"%s\\%s.tmp", L"C:\\dir", L"name");
    EXPECT_STREQ(L"C:\\dir\\name.tmp", s.GetString());

    s.Format(L"%02d/%02d/%d %02d:%02d", 3, 7, 2024, 9, 5);
    EXPECT_STREQ(L"03/07/2024 09:05", s.GetString());

    s.Format(L"%llu|%I64u", 18446744073709551615ULL, 18446744073709551615ULL);
    EXPECT_STREQ(L"18446744073709551615|18446744073709551615", s.GetString());
}

// A CString handed to Format stands for its text, as with the classic class (code passes its string members
// straight to string-table formats).
TEST(CStringFormat, CStringArgumentsAndFormatsStandForTheirText)
{
    const CString path(L"C:\\dir\\file.txt");
    CString format(L"%s error : [%d] %s");
    CString s;
    s.Format(format, path, 5, CString(L"end"));
    EXPECT_STREQ(L"C:\\dir\\file.txt error : [5] end", s.GetString());

    s.Format(9001u, path, 2);
    EXPECT_STREQ(L"Hello C:\\dir\\file.txt, 2 items", s.GetString());

    s.AppendFormat(L"|%s|%I64u", CString(L"x"), static_cast<unsigned __int64>(1) << 33);
    EXPECT_STREQ(L"Hello C:\\dir\\file.txt, 2 items|x|8589934592", s.GetString());

    CStringA a;
    a.Format("%s=%d", CStringA("key"), 3);
    EXPECT_STREQ("key=3", a.GetString());
}

TEST(CStringFormat, GrowsPastAnyBufferAndAppends)
{
    std::wstring big(5000, L'x');
    CString s;
    s.Format(L"[%s]", big.c_str());
    ASSERT_EQ(5002, s.GetLength());
    EXPECT_EQ(L'[', s[0]);
    EXPECT_EQ(L']', s[5001]);

    s = L"a";
    s.AppendFormat(L"%d%s", 7, L"b");
    EXPECT_STREQ(L"a7b", s.GetString());
}

TEST(CStringFormat, FormatFromStringTable)
{
    CString s;
    s.Format(9001u, L"you", 3);
    EXPECT_STREQ(L"Hello you, 3 items", s.GetString());

    s = L"kept?";
    s.Format(8999u, 1);   // no such entry
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CStringLoad, LoadsExactTextAndReportsMissingEntries)
{
    CString s;
    EXPECT_TRUE(s.LoadString(9002));
    EXPECT_STREQ(L"Something went wrong.", s.GetString());
    EXPECT_EQ(21, s.GetLength());

    EXPECT_FALSE(s.LoadString(8999));
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CStringOps, SlicesClampToTheString)
{
    CString s(L"abcdef");
    EXPECT_STREQ(L"abc", s.Left(3).GetString());
    EXPECT_STREQ(L"abcdef", s.Left(99).GetString());
    EXPECT_STREQ(L"", s.Left(-1).GetString());
    EXPECT_STREQ(L"def", s.Right(3).GetString());
    EXPECT_STREQ(L"abcdef", s.Right(10).GetString());
    EXPECT_STREQ(L"", s.Right(0).GetString());
    EXPECT_STREQ(L"cdef", s.Mid(2).GetString());
    EXPECT_STREQ(L"cd", s.Mid(2, 2).GetString());
    EXPECT_STREQ(L"", s.Mid(6).GetString());
    EXPECT_STREQ(L"ab", s.Mid(-3, 2).GetString());
    EXPECT_STREQ(L"ef", s.Mid(4, 100).GetString());
}

TEST(CStringOps, SearchReplaceAndEdit)
{
    CString s(L"C:\\dir\\file.txt");
    EXPECT_EQ(2, s.Find(L'\\'));
    EXPECT_EQ(6, s.Find(L'\\', 3));
    EXPECT_EQ(-1, s.Find(L'\\', 7));
    EXPECT_EQ(-1, s.Find(L'x', 99));
    EXPECT_EQ(7, s.Find(L"file"));
    EXPECT_EQ(6, s.ReverseFind(L'\\'));
    EXPECT_EQ(2, s.FindOneOf(L"/\\"));

    EXPECT_EQ(2, s.Replace(L'\\', L'/'));
    EXPECT_STREQ(L"C:/dir/file.txt", s.GetString());
    EXPECT_EQ(1, s.Replace(L"dir", L"folder"));
    EXPECT_STREQ(L"C:/folder/file.txt", s.GetString());
    EXPECT_EQ(0, s.Replace(L"", L"x"));

    CString t(L"  padded \t");
    t.Trim();
    EXPECT_STREQ(L"padded", t.GetString());
    t.MakeUpper();
    EXPECT_STREQ(L"PADDED", t.GetString());
    EXPECT_EQ(0, t.CompareNoCase(L"padded"));
    EXPECT_NE(0, t.Compare(L"padded"));
    t.Insert(0, L">");
    t.Delete(1, 2);
    EXPECT_STREQ(L">DDED", t.GetString());

    CString sum = CString(L"a") + L"b" + L'c' + CString(L"d");
    EXPECT_TRUE(sum == L"abcd");
    EXPECT_TRUE(sum != CString(L"abc"));
}

TEST(CStringOps, BufferAccess)
{
    CString s;
    wchar_t* buffer = s.GetBuffer(10);
    wcscpy(buffer, L"hi");
    s.ReleaseBuffer();
    EXPECT_EQ(2, s.GetLength());
    EXPECT_STREQ(L"hi", s.GetString());

    buffer = s.GetBufferSetLength(5);
    wmemcpy(buffer, L"12345", 5);
    s.ReleaseBuffer(3);
    EXPECT_STREQ(L"123", s.GetString());
}

TEST(CStringA, FormatsNarrowAndConverts)
{
    CStringA a;
    a.Format("%s=%I64d", "size", static_cast<__int64>(1) << 40);
    EXPECT_STREQ("size=1099511627776", a.GetString());

    CString wide(a);
    EXPECT_STREQ(L"size=1099511627776", wide.GetString());
    CStringA back(wide);
    EXPECT_TRUE(back == a);
    EXPECT_EQ(4, a.Find('='));
    EXPECT_STREQ("size", a.Left(4).GetString());
    EXPECT_STREQ("1099511627776", a.Mid(5).GetString());
}
