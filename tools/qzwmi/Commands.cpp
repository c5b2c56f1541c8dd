// Runs enum, get and query through the locator, as any WMI client does, and reads each object into
// a record before anything is printed, so that a request that fails halfway prints nothing.
#include "Commands.h"

#include <wbemcli.h>

#include <atlbase.h>

#include "Views.h"

namespace qzwmi {
namespace {

constexpr ULONG kBatch = 16;

bool IsClass(IWbemClassObject* object) {
  CComVariant genus;
  return SUCCEEDED(object->Get(L"__GENUS", 0, &genus, nullptr, nullptr)) && genus.vt == VT_I4 &&
         genus.lVal == WBEM_GENUS_CLASS;
}

HRESULT Drain(IEnumWbemClassObject* enumerator, std::vector<ObjectRecord>* objects) {
  return ForEachObject(enumerator, [&](IWbemClassObject* object) {
    // A class (of a meta_class query) shows as its name and description: it has no values.
    if (IsClass(object)) {
      ClassInfo info;
      HRESULT hr = ReadClassInfo(object, &info);
      if (SUCCEEDED(hr)) objects->push_back(std::move(ClassRecords({info}).front()));
      return hr;
    }
    ObjectRecord record;
    HRESULT hr = ReadObject(object, &record);
    if (SUCCEEDED(hr)) objects->push_back(std::move(record));
    return hr;
  });
}

}  // namespace

HRESULT ForEachObject(IEnumWbemClassObject* enumerator, const std::function<HRESULT(IWbemClassObject*)>& each) {
  for (;;) {
    IWbemClassObject* batch[kBatch] = {};
    ULONG returned = 0;
    HRESULT hr = enumerator->Next(WBEM_INFINITE, kBatch, batch, &returned);
    HRESULT read = WBEM_S_NO_ERROR;
    for (ULONG i = 0; i < returned; ++i) {
      if (SUCCEEDED(read)) read = each(batch[i]);
      batch[i]->Release();
    }
    if (FAILED(hr)) return hr;
    if (FAILED(read)) return read;
    if (hr == WBEM_S_FALSE || returned == 0) return WBEM_S_NO_ERROR;
  }
}

HRESULT Connect(const std::wstring& nameSpace, IWbemServices** services) {
  CComPtr<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&locator));
  if (FAILED(hr)) return hr;
  return locator->ConnectServer(CComBSTR(nameSpace.c_str()), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services);
}

HRESULT RunRequest(const std::wstring& nameSpace, Request request, const std::wstring& argument,
                   std::vector<ObjectRecord>* objects) {
  CComPtr<IWbemServices> services;
  HRESULT hr = Connect(nameSpace, &services);
  if (FAILED(hr)) return hr;

  const CComBSTR text(argument.c_str());
  constexpr LONG kFlags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
  if (request == Request::Get) {
    CComPtr<IWbemClassObject> object;
    hr = services->GetObject(text, 0, nullptr, &object, nullptr);
    if (FAILED(hr)) return hr;
    // get wants an instance; a class name alone is no instance path.
    if (IsClass(object)) return WBEM_E_INVALID_OBJECT_PATH;
    ObjectRecord record;
    hr = ReadObject(object, &record);
    if (FAILED(hr)) return hr;
    objects->push_back(std::move(record));
    return WBEM_S_NO_ERROR;
  }
  CComPtr<IEnumWbemClassObject> enumerator;
  if (request == Request::Enumerate) {
    hr = services->CreateInstanceEnum(text, WBEM_FLAG_DEEP | kFlags, nullptr, &enumerator);
  } else {
    hr = services->ExecQuery(CComBSTR(L"WQL"), text, kFlags, nullptr, &enumerator);
  }
  if (FAILED(hr)) return hr;
  hr = Drain(enumerator, objects);
  if (FAILED(hr)) objects->clear();
  return hr;
}

}  // namespace qzwmi
