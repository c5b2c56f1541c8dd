// IProvideClassInfo: an object's way of handing out the type information of its coclass.
#pragma once

#include "oaidl.h"

inline constexpr IID IID_IProvideClassInfo = {
    0xB196B283, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

interface IProvideClassInfo : public IUnknown {
  STDMETHOD(GetClassInfo)(ITypeInfo** ppTI) PURE;
};

QZ_DEFINE_UUIDOF(IProvideClassInfo, IID_IProvideClassInfo)
