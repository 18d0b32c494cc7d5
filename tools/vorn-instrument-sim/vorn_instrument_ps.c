/* Proxy/stub DLL of the instrument interface, so that the interface can be
 * called across processes. mingw's headers lack these three declarations
 * that the generated proxy code uses. The generated code wants stubless
 * proxies, which changes rpcproxy.h's structures, so say so before it. */
#define USE_STUBLESS_PROXY
#include <rpcproxy.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                         void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "vorn_instrument_p.c"
