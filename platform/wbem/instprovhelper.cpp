// The instance-provider helper: the __ExtendedStatus class fetched at start-up and the check of an
// instance path against a provider's class.
#include <instprovhelper.h>

#include <oleauto.h>
#include <winnls.h>

#include <cwchar>
#include <limits>
#include <memory>
#include <new>

namespace {

struct ReleaseInterface {
  void operator()(IUnknown* p) const { p->Release(); }
};
template <typename T>
using InterfacePtr = std::unique_ptr<T, ReleaseInterface>;

constexpr LCID kEnglishUs = 1033;

// Class names compare as English text without regard to case.
bool SameClassName(LPCWSTR a, LPCWSTR b) {
  return a && b && CompareStringW(kEnglishUs, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

}  // namespace

CInstanceProviderHelper::CInstanceProviderHelper(IWbemServices* pNamespace, IWbemContext* pCtx) {
  if (!pNamespace) {
    m_ExtendedStatusResult = WBEM_E_INVALID_PARAMETER;
    return;
  }
  BSTR className = SysAllocString(L"__ExtendedStatus");
  if (!className) {
    m_ExtendedStatusResult = WBEM_E_OUT_OF_MEMORY;
    return;
  }
  IWbemClassObject* statusClass = nullptr;
  m_ExtendedStatusResult = pNamespace->GetObject(className, 0, pCtx, &statusClass, nullptr);
  SysFreeString(className);
  if (SUCCEEDED(m_ExtendedStatusResult))
    m_pExtendedStatusClass = statusClass;
  else if (statusClass)
    statusClass->Release();
}

CInstanceProviderHelper::~CInstanceProviderHelper() {
  if (m_pExtendedStatusClass) m_pExtendedStatusClass->Release();
}

HRESULT CInstanceProviderHelper::PathBufferLength(size_t pathLength, ULONG* pcchBuffer) {
  if (pathLength >= std::numeric_limits<ULONG>::max()) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
  *pcchBuffer = static_cast<ULONG>(pathLength + 1);
  return S_OK;
}

HRESULT CInstanceProviderHelper::CheckInstancePath(IClassFactory* pParserFactory, BSTR ObjectPath, BSTR ClassName,
                                                   ULONGLONG ullTest) {
  if (!pParserFactory) return WBEM_E_INVALID_PARAMETER;
  IWbemPath* rawPath = nullptr;
  if (FAILED(pParserFactory->CreateInstance(nullptr, IID_IWbemPath, reinterpret_cast<void**>(&rawPath))) || !rawPath)
    return WBEM_E_INVALID_PARAMETER;
  InterfacePtr<IWbemPath> path(rawPath);

  HRESULT hr = path->SetText(WBEMPATH_CREATE_ACCEPT_ALL, ObjectPath);
  if (FAILED(hr)) return hr;

  ULONG bufferLength = 0;
  hr = PathBufferLength(ObjectPath ? wcslen(ObjectPath) : 0, &bufferLength);
  if (FAILED(hr)) return hr;
  std::unique_ptr<WCHAR[]> className(new (std::nothrow) WCHAR[bufferLength]);
  if (!className) return WBEM_E_OUT_OF_MEMORY;
  ULONG size = bufferLength;
  hr = path->GetClassName(&size, className.get());
  if (FAILED(hr)) return hr;

  if (!SameClassName(className.get(), ClassName)) return WBEM_E_NOT_FOUND;

  ULONGLONG info = 0;
  hr = path->GetInfo(0, &info);
  if (FAILED(hr)) return hr;
  if ((info & ullTest) == 0) return WBEM_E_INVALID_OBJECT_PATH;
  return WBEM_S_NO_ERROR;
}
