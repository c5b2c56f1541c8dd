// The class and interface of the test server module that the activation tests load.
#pragma once

#include <unknwn.h>

inline constexpr CLSID CLSID_TestServerProbe = {0x3E5C1A40, 0x7B1D, 0x4C2E, {0x9F, 0x61, 0x0A, 0x52, 0x8D, 0x33, 0x71, 0xC4}};
inline constexpr IID IID_ITestServerProbe = {0x3E5C1A41, 0x7B1D, 0x4C2E, {0x9F, 0x61, 0x0A, 0x52, 0x8D, 0x33, 0x71, 0xC4}};
inline constexpr LONG kTestServerMagic = 0x51A7;

// Answers a number that only the module knows, to show the object came from it.
interface ITestServerProbe : public IUnknown {
  STDMETHOD_(LONG, Magic)() PURE;
};
