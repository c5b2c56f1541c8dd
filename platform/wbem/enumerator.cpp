// IEnumWbemClassObject over an object stream whose objects become available at given moments.
#include <mutex>
#include <new>
#include <thread>

#include "ole32/comobject.h"
#include "wbem/provider.h"

namespace qz::wbem {
namespace {

class ObjectEnumerator : public ComObject<IEnumWbemClassObject> {
 public:
  ObjectEnumerator(std::shared_ptr<const ObjectStream> stream, size_t position, bool forwardOnly)
      : m_Stream(std::move(stream)), m_Position(position), m_ForwardOnly(forwardOnly) {}


  STDMETHODIMP Reset() override {
    if (m_ForwardOnly) return WBEM_E_INVALID_OPERATION;
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Position = 0;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) override {
    if (!apObjects || !puReturned) return WBEM_E_INVALID_PARAMETER;
    *puReturned = 0;
    if (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    ULONG returned = 0;
    HRESULT hr = Advance(lTimeout, uCount, [&](IWbemClassObject* object) {
      object->AddRef();
      apObjects[returned++] = object;
    });
    *puReturned = returned;
    return hr;
  }

  STDMETHODIMP NextAsync(ULONG uCount, IWbemObjectSink* pSink) override {
    if (!pSink) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    HRESULT hr = Advance(static_cast<LONG>(WBEM_INFINITE), uCount, [&](IWbemClassObject* object) {
      pSink->Indicate(1, &object);
    });
    pSink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_S_NO_ERROR, nullptr, nullptr);
    return hr;
  }

  STDMETHODIMP Clone(IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    if (m_ForwardOnly) return WBEM_E_INVALID_OPERATION;
    std::lock_guard<std::mutex> guard(m_Lock);
    auto* copy = new (std::nothrow) ObjectEnumerator(m_Stream, m_Position, m_ForwardOnly);
    if (!copy) return WBEM_E_OUT_OF_MEMORY;
    *ppEnum = copy;
    return WBEM_S_NO_ERROR;
  }

  STDMETHODIMP Skip(LONG lTimeout, ULONG nCount) override {
    if (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_Lock);
    return Advance(lTimeout, nCount, [](IWbemClassObject*) {});
  }

 private:
  virtual ~ObjectEnumerator() = default;

  // Takes up to `count` objects, waiting for each until it is ready or the time-out has passed:
  // WBEM_S_NO_ERROR when all came, WBEM_S_FALSE at the end of the stream, WBEM_S_TIMEDOUT.
  template <class Take>
  HRESULT Advance(LONG timeout, ULONG count, Take take) {
    const bool infinite = timeout == static_cast<LONG>(WBEM_INFINITE);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : timeout);
    for (ULONG taken = 0; taken < count; ++taken) {
      if (m_Position >= m_Stream->size()) return WBEM_S_FALSE;
      const TimedObject& next = (*m_Stream)[m_Position];
      if (next.ready > Clock::now()) {
        if (!infinite && next.ready > deadline) {
          std::this_thread::sleep_until(deadline);
          return WBEM_S_TIMEDOUT;
        }
        std::this_thread::sleep_until(next.ready);
      }
      take(next.object.p);
      ++m_Position;
    }
    return WBEM_S_NO_ERROR;
  }

  std::mutex m_Lock;
  std::shared_ptr<const ObjectStream> m_Stream;
  size_t m_Position;
  const bool m_ForwardOnly;
};

}  // namespace

HRESULT CreateObjectEnumerator(ObjectStream stream, bool forwardOnly, IEnumWbemClassObject** ppEnum) {
  if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
  *ppEnum = nullptr;
  auto shared = std::make_shared<const ObjectStream>(std::move(stream));
  auto* enumerator = new (std::nothrow) ObjectEnumerator(std::move(shared), 0, forwardOnly);
  if (!enumerator) return WBEM_E_OUT_OF_MEMORY;
  *ppEnum = enumerator;
  return WBEM_S_NO_ERROR;
}

}  // namespace qz::wbem
