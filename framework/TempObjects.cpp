#include "framework/TempObjects.h"

namespace {
std::vector<void (*)()>& Cleanups()
{
    thread_local std::vector<void (*)()> cleanups;
    return cleanups;
}
}

void afx_detail::RegisterTempCleanup(void (*cleanup)())
{
    Cleanups().push_back(cleanup);
}

void AfxDeleteTempObjects()
{
    for (auto cleanup : Cleanups())
        cleanup();
}
