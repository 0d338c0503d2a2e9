#include "ImportPatch.h"

#include <cstdio>
#include <cstring>

namespace {

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect)) {
        std::fprintf(stderr, "ImportPatch: VirtualProtect failed with error %lu\n", GetLastError());
        return;
    }
    *slot = value;
    DWORD ignored = 0;
    VirtualProtect(slot, sizeof(void*), oldProtect, &ignored);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
}

}  // namespace

ImportPatchBase::ImportPatchBase(const char* function, const void* replacement, const char* dll, HMODULE module)
{
    auto* base = reinterpret_cast<BYTE*>(module ? module : GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress != 0) {
        for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); desc->Name; ++desc) {
            if (dll && _stricmp(dll, reinterpret_cast<const char*>(base + desc->Name)) != 0)
                continue;
            // The name table (OriginalFirstThunk) still names each entry; the address table (FirstThunk)
            // beside it holds what the loader bound.
            if (desc->OriginalFirstThunk == 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                    continue;
                void** slot = reinterpret_cast<void**>(&slots->u1.Function);
                if (m_slots.empty())
                    m_original = *slot;
                m_slots.push_back({slot, *slot});
            }
        }
    }
    if (m_slots.empty()) {
        std::fprintf(stderr, "ImportPatch: %s is not imported by the module%s%s\n", function, dll ? " from " : "",
                     dll ? dll : "");
        return;
    }
    for (const Slot& slot : m_slots)
        WriteSlot(slot.m_address, const_cast<void*>(replacement));
}

ImportPatchBase::~ImportPatchBase()
{
    for (auto it = m_slots.rbegin(); it != m_slots.rend(); ++it)
        WriteSlot(it->m_address, it->m_saved);
}
