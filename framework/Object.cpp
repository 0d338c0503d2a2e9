#include "framework/Object.h"

const CRuntimeClass CObject::classCObject = { "CObject", static_cast<int>(sizeof(CObject)), nullptr };

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBase) const
{
    for (const CRuntimeClass* c = this; c; c = c->m_pBaseClass) {
        if (c == pBase)
            return TRUE;
    }
    return FALSE;
}

const CRuntimeClass* CObject::GetRuntimeClass() const
{
    return &classCObject;
}

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const
{
    return GetRuntimeClass()->IsDerivedFrom(pClass);
}
