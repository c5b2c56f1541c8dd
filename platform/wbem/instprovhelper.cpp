// CInstanceProviderHelper: the __ExtendedStatus fetch and the instance-path check of a provider.
#include <instprovhelper.h>
#include <oleauto.h>
#include <winnls.h>

#include <new>
#include <vector>

CInstanceProviderHelper::CInstanceProviderHelper(IWbemServices* pNamespace, IWbemContext* pCtx) {
  if (!pNamespace) {
    m_ExtendedStatusResult = WBEM_E_INVALID_PARAMETER;
    return;
  }
  BSTR name = SysAllocString(L"__ExtendedStatus");
  m_ExtendedStatusResult = pNamespace->GetObject(name, 0, pCtx, &m_pExtendedStatusClass, nullptr);
  SysFreeString(name);
  if (FAILED(m_ExtendedStatusResult)) m_pExtendedStatusClass = nullptr;
}

CInstanceProviderHelper::~CInstanceProviderHelper() {
  if (m_pExtendedStatusClass) m_pExtendedStatusClass->Release();
}

HRESULT CInstanceProviderHelper::PathBufferLength(size_t pathLength, ULONG* pcchBuffer) {
  if (pathLength >= 0xFFFFFFFFull) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
  *pcchBuffer = static_cast<ULONG>(pathLength + 1);
  return S_OK;
}

HRESULT CInstanceProviderHelper::CheckInstancePath(IClassFactory* pParserFactory, BSTR ObjectPath, BSTR ClassName,
                                                   ULONGLONG ullTest) {
  if (!pParserFactory) return WBEM_E_INVALID_PARAMETER;
  IWbemPath* path = nullptr;
  if (FAILED(pParserFactory->CreateInstance(nullptr, IID_IWbemPath, reinterpret_cast<void**>(&path))) || !path)
    return WBEM_E_INVALID_PARAMETER;

  HRESULT hr = path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, ObjectPath);
  ULONG length = 0;
  if (SUCCEEDED(hr)) hr = PathBufferLength(ObjectPath ? SysStringLen(ObjectPath) : 0, &length);
  WCHAR* className = nullptr;
  if (SUCCEEDED(hr)) {
    className = new (std::nothrow) WCHAR[length];
    if (!className) hr = WBEM_E_OUT_OF_MEMORY;
  }
  if (SUCCEEDED(hr)) hr = path->GetClassName(&length, className);
  if (SUCCEEDED(hr) &&
      CompareStringW(MAKELCID(1033, SORT_DEFAULT), NORM_IGNORECASE, className, -1, ClassName ? ClassName : L"", -1) !=
          CSTR_EQUAL)
    hr = WBEM_E_NOT_FOUND;
  ULONGLONG info = 0;
  if (SUCCEEDED(hr)) hr = path->GetInfo(0, &info);
  if (SUCCEEDED(hr) && (info & ullTest) == 0) hr = WBEM_E_INVALID_OBJECT_PATH;
  delete[] className;
  path->Release();
  return FAILED(hr) ? hr : WBEM_S_NO_ERROR;
}
