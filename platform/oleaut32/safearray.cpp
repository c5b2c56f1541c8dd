// SAFEARRAY: self-describing arrays of automation values, with their element ownership.
#include <oleauto.h>

#include <cstdlib>
#include <cstring>

namespace {

struct ElementKind {
  VARTYPE vt;
  ULONG size;
};

constexpr ElementKind kElementKinds[] = {
    {VT_I2, 2},       {VT_I4, 4},       {VT_R4, 4},        {VT_R8, 8},        {VT_CY, 8},
    {VT_DATE, 8},     {VT_BSTR, sizeof(BSTR)},             {VT_DISPATCH, sizeof(IDispatch*)},
    {VT_ERROR, 4},    {VT_BOOL, 2},     {VT_VARIANT, sizeof(VARIANT)},    {VT_UNKNOWN, sizeof(IUnknown*)},
    {VT_DECIMAL, 16}, {VT_I1, 1},       {VT_UI1, 1},       {VT_UI2, 2},       {VT_UI4, 4},
    {VT_I8, 8},       {VT_UI8, 8},      {VT_INT, 4},       {VT_UINT, 4},
};

// The size of one element of type vt; 0 for a type that no array may hold.
ULONG ElementSize(VARTYPE vt) {
  for (const ElementKind& kind : kElementKinds)
    if (kind.vt == vt) return kind.size;
  return 0;
}

size_t DescriptorSize(UINT cDims) { return sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND); }

// A zeroed descriptor; null when out of memory.
SAFEARRAY* AllocDescriptor(UINT cDims) {
  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, DescriptorSize(cDims)));
  if (!psa) return nullptr;
  psa->cDims = static_cast<USHORT>(cDims);
  return psa;
}

void FreeDescriptor(SAFEARRAY* psa) { std::free(psa); }

// Number of elements over all dimensions; false when it does not fit in memory.
bool CellCount(const SAFEARRAY* psa, unsigned long long* count) {
  unsigned long long cells = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    cells *= psa->rgsabound[i].cElements;
    if (cells > 0xFFFFFFFFULL) return false;
  }
  *count = cells;
  return true;
}

// Records which elements own what they point to, for copying and clearing them.
void SetFeatures(SAFEARRAY* psa, VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: psa->fFeatures |= FADF_BSTR; break;
    case VT_UNKNOWN: psa->fFeatures |= FADF_UNKNOWN; break;
    case VT_DISPATCH: psa->fFeatures |= FADF_DISPATCH; break;
    case VT_VARIANT: psa->fFeatures |= FADF_VARIANT; break;
    default: break;
  }
}

// Allocates zeroed storage for all elements. At least one byte, so that an empty array still has
// data that can be accessed.
bool AllocData(SAFEARRAY* psa) {
  unsigned long long cells = 0;
  if (!CellCount(psa, &cells)) return false;
  const unsigned long long bytes = cells * psa->cbElements;
  if (bytes > 0x7FFFFFFFULL) return false;
  psa->pvData = std::calloc(1, bytes ? static_cast<size_t>(bytes) : 1);
  return psa->pvData != nullptr;
}

// Releases what the elements own and zeroes them; the storage itself stays.
void ClearElements(SAFEARRAY* psa) {
  unsigned long long cells = 0;
  if (!psa->pvData || !CellCount(psa, &cells)) return;
  if (psa->fFeatures & FADF_BSTR) {
    auto* items = static_cast<BSTR*>(psa->pvData);
    for (unsigned long long i = 0; i < cells; ++i) SysFreeString(items[i]);
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* items = static_cast<IUnknown**>(psa->pvData);
    for (unsigned long long i = 0; i < cells; ++i)
      if (items[i]) items[i]->Release();
  } else if (psa->fFeatures & FADF_VARIANT) {
    auto* items = static_cast<VARIANT*>(psa->pvData);
    for (unsigned long long i = 0; i < cells; ++i) VariantClear(&items[i]);
  }
  std::memset(psa->pvData, 0, static_cast<size_t>(cells * psa->cbElements));
}

// Deep copy of every element of source into the zeroed storage of dest (same shape).
HRESULT CopyElements(SAFEARRAY* source, SAFEARRAY* dest) {
  unsigned long long cells = 0;
  if (!CellCount(source, &cells)) return E_OUTOFMEMORY;
  if (source->fFeatures & FADF_BSTR) {
    auto* from = static_cast<BSTR*>(source->pvData);
    auto* to = static_cast<BSTR*>(dest->pvData);
    for (unsigned long long i = 0; i < cells; ++i) {
      if (!from[i]) continue;
      to[i] = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(from[i]), SysStringByteLen(from[i]));
      if (!to[i]) return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  if (source->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* from = static_cast<IUnknown**>(source->pvData);
    auto* to = static_cast<IUnknown**>(dest->pvData);
    for (unsigned long long i = 0; i < cells; ++i) {
      to[i] = from[i];
      if (to[i]) to[i]->AddRef();
    }
    return S_OK;
  }
  if (source->fFeatures & FADF_VARIANT) {
    auto* from = static_cast<VARIANT*>(source->pvData);
    auto* to = static_cast<VARIANT*>(dest->pvData);
    for (unsigned long long i = 0; i < cells; ++i) {
      HRESULT hr = VariantCopy(&to[i], &from[i]);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  std::memcpy(dest->pvData, source->pvData, static_cast<size_t>(cells * source->cbElements));
  return S_OK;
}

// Frees storage and descriptor of an array that nobody else has seen yet.
void DiscardArray(SAFEARRAY* psa) {
  if (psa->pvData) {
    ClearElements(psa);
    std::free(psa->pvData);
  }
  FreeDescriptor(psa);
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  const ULONG size = ElementSize(vt);
  if (!size || cDims == 0 || cDims > 0xFFFF || !rgsabound) return nullptr;
  SAFEARRAY* psa = AllocDescriptor(cDims);
  if (!psa) return nullptr;
  psa->cbElements = size;
  SetFeatures(psa, vt);
  // The descriptor keeps the bounds in reverse order: rgsabound[cDims - 1] is dimension 1.
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[cDims - 1 - i] = rgsabound[i];
  if (!AllocData(psa)) {
    FreeDescriptor(psa);
    return nullptr;
  }
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  SAFEARRAY* psa = SafeArrayCreate(vt, 1, &bound);
  if (psa) psa->fFeatures |= FADF_CREATEVECTOR;
  return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  DiscardArray(psa);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  // The lock count is a 16-bit counter on Windows.
  if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) {
    *ppvData = nullptr;
    return hr;
  }
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (!psa || !rgIndices || !ppvData) return E_INVALIDARG;
  // Dimension 1 (rgIndices[0], bounds at the end of rgsabound) varies fastest.
  unsigned long long cell = 0;
  unsigned long long stride = 1;
  for (USHORT dim = 0; dim < psa->cDims; ++dim) {
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - 1 - dim];
    const long long offset = 0LL + rgIndices[dim] - bound.lLbound;
    if (offset < 0 || offset >= static_cast<long long>(bound.cElements)) return DISP_E_BADINDEX;
    cell += static_cast<unsigned long long>(offset) * stride;
    stride *= bound.cElements;
  }
  *ppvData = static_cast<char*>(psa->pvData) + cell * psa->cbElements;
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices) return E_INVALIDARG;
  void* cell = nullptr;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  if (psa->fFeatures & FADF_VARIANT) {
    hr = pv ? VariantCopy(static_cast<VARIANT*>(cell), static_cast<VARIANT*>(pv)) : E_INVALIDARG;
  } else if (psa->fFeatures & FADF_BSTR) {
    auto* slot = static_cast<BSTR*>(cell);
    auto source = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (source) {
      copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
      if (!copy) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) {
      SysFreeString(*slot);
      *slot = copy;
    }
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* slot = static_cast<IUnknown**>(cell);
    auto* source = static_cast<IUnknown*>(pv);
    if (source) source->AddRef();
    if (*slot) (*slot)->Release();
    *slot = source;
  } else if (!pv) {
    hr = E_INVALIDARG;
  } else {
    std::memcpy(cell, pv, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  void* cell = nullptr;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  if (psa->fFeatures & FADF_VARIANT) {
    // pv is an out parameter: whatever it held before is not ours to clear.
    auto* out = static_cast<VARIANT*>(pv);
    VariantInit(out);
    hr = VariantCopy(out, static_cast<VARIANT*>(cell));
  } else if (psa->fFeatures & FADF_BSTR) {
    BSTR source = *static_cast<BSTR*>(cell);
    BSTR copy = nullptr;
    if (source) {
      copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), SysStringByteLen(source));
      if (!copy) hr = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) *static_cast<BSTR*>(pv) = copy;
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* source = *static_cast<IUnknown**>(cell);
    if (source) source->AddRef();
    *static_cast<IUnknown**>(pv) = source;
  } else {
    std::memcpy(pv, cell, psa->cbElements);
  }
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(0LL + bound.lLbound + bound.cElements - 1);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  if (psa->cDims == 0) return E_INVALIDARG;
  SAFEARRAY* copy = AllocDescriptor(psa->cDims);
  if (!copy) return E_OUTOFMEMORY;
  copy->cbElements = psa->cbElements;
  // The copy is an ordinary heap array of the same type, whatever kind of storage the source had.
  copy->fFeatures = psa->fFeatures & ~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE);
  for (USHORT i = 0; i < psa->cDims; ++i) copy->rgsabound[i] = psa->rgsabound[i];
  if (!AllocData(copy)) {
    FreeDescriptor(copy);
    return E_OUTOFMEMORY;
  }
  HRESULT hr = psa->pvData ? CopyElements(psa, copy) : S_OK;
  if (FAILED(hr)) {
    DiscardArray(copy);
    return hr;
  }
  *ppsaOut = copy;
  return S_OK;
}

}  // extern "C"
