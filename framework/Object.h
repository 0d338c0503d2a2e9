#pragma once
// Root of the framework's class tree: run-time class information for the classes that ask for it.
#include <windows.h>

class CObject;

// Describes one class: its name, its size and its base class. Classes get one with DECLARE_DYNAMIC /
// IMPLEMENT_DYNAMIC; RUNTIME_CLASS(name) yields it.
struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    const CRuntimeClass* m_pBaseClass;

    // True when this class is pBase or derives from it.
    BOOL IsDerivedFrom(const CRuntimeClass* pBase) const;
};

class CObject {
public:
    virtual ~CObject() = default;
    virtual const CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* pClass) const;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name) \
public: \
    static const CRuntimeClass class##class_name; \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    const CRuntimeClass class_name::class##class_name = { \
        #class_name, static_cast<int>(sizeof(class class_name)), RUNTIME_CLASS(base_class_name) }; \
    const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }
