// The presence bits of a record, which decide what of the record goes into its instance.
#pragma once

#include <windows.h>

// The presence bits of a record: a property goes into the instance only when its bit is set, and
// each setter of the record sets its property's bit with its value.
class CQZPresenceBits {
 public:
  bool Has(DWORD bit) const { return (m_PresentMask & bit) != 0; }
  DWORD PresentMask() const { return m_PresentMask; }

 protected:
  template <class T, class V>
  void Set(T& field, const V& value, DWORD bit) {
    field = value;
    m_PresentMask |= bit;
  }

 private:
  DWORD m_PresentMask = 0;
};
