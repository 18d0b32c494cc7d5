#pragma once
// The instrument interface in C++, for the Windows side of the instrument
// link. It must match tools/vorn-instrument-sim/vorn_instrument.idl, from
// which the proxy/stub DLL that carries calls across processes is built:
// same interface id, same method table. The Reserved methods hold the places
// of methods the service never calls.

// clang-format off
#include "platform/win32/windows_api.h"
#include <oleauto.h>  // BSTR functions; needs the SDK headers first
// clang-format on

namespace platform::win32 {

// {6B1C2F4E-8D3A-4E57-9A61-2F0C7D9E4B13}
inline constexpr GUID kInstrumentInterfaceId = {
    0x6B1C2F4E, 0x8D3A, 0x4E57, {0x9A, 0x61, 0x2F, 0x0C, 0x7D, 0x9E, 0x4B, 0x13}};

inline constexpr ULONG kChallengeSize = 128;

class IVornInstrument : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;                    // 3
  virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;                    // 4
  virtual HRESULT STDMETHODCALLTYPE GetChallenge(BYTE* challenge) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE SetResponse(BYTE* response) = 0;    // 6
  virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;                    // 7
  virtual HRESULT STDMETHODCALLTYPE Preset() = 0;                       // 8
  virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;                    // 9
  virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;                   // 10
  virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;                   // 11
  virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;                   // 12
  virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;                   // 13
  virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;                   // 14
  virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;                   // 15
  virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;                   // 16
  virtual HRESULT STDMETHODCALLTYPE GetMaterialNumber(BSTR* text) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE GetSerialNumber(BSTR* text) = 0;    // 18
  virtual HRESULT STDMETHODCALLTYPE GetOperatingTime(BSTR* text) = 0;   // 19
  virtual HRESULT STDMETHODCALLTYPE Reserved20() = 0;                   // 20
  virtual HRESULT STDMETHODCALLTYPE Reserved21() = 0;                   // 21
  virtual HRESULT STDMETHODCALLTYPE Reserved22() = 0;                   // 22
  virtual HRESULT STDMETHODCALLTYPE Reserved23() = 0;                   // 23
  virtual HRESULT STDMETHODCALLTYPE GetMacAddress(BSTR* text) = 0;      // 24
  virtual HRESULT STDMETHODCALLTYPE Reserved25() = 0;                   // 25
  virtual HRESULT STDMETHODCALLTYPE Reserved26() = 0;                   // 26
  virtual HRESULT STDMETHODCALLTYPE Reserved27() = 0;                   // 27
  virtual HRESULT STDMETHODCALLTYPE Reserved28() = 0;                   // 28
  virtual HRESULT STDMETHODCALLTYPE Reserved29() = 0;                   // 29
  virtual HRESULT STDMETHODCALLTYPE Reserved30() = 0;                   // 30
  virtual HRESULT STDMETHODCALLTYPE Reserved31() = 0;                   // 31
  virtual HRESULT STDMETHODCALLTYPE Reserved32() = 0;                   // 32
  virtual HRESULT STDMETHODCALLTYPE Reserved33() = 0;                   // 33
  virtual HRESULT STDMETHODCALLTYPE BeginInstallation() = 0;            // 34
  virtual HRESULT STDMETHODCALLTYPE EndInstallation() = 0;              // 35
};

}  // namespace platform::win32
