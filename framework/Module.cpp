#include "framework/Module.h"

#include <atomic>

namespace {
std::atomic<HINSTANCE> g_instance{nullptr};
std::atomic<HINSTANCE> g_resources{nullptr};
}

HINSTANCE FrameworkInstanceHandle()
{
    HINSTANCE module = g_instance.load();
    return module ? module : ::GetModuleHandleW(nullptr);
}

HINSTANCE FrameworkResourceHandle()
{
    HINSTANCE module = g_resources.load();
    return module ? module : FrameworkInstanceHandle();
}

void FrameworkSetResourceHandle(HINSTANCE module)
{
    g_resources.store(module);
}

void FrameworkSetInstanceHandle(HINSTANCE module)
{
    g_instance.store(module);
}
