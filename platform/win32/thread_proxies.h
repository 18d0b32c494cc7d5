#pragma once
// The instrument proxies that one thread's apartment keeps between calls.
//
// A proxy may only be used and released in the apartment that unmarshalled
// it, and a single-threaded apartment is one thread. So each thread keeps its
// own proxies, one per link, and gives them up itself: a link that goes away
// only marks its life as over (any thread may do that), and each thread
// releases what it kept for links that are over on its next call, or all of
// it just before its apartment ends (COM tells us through an initialisation
// spy registered for the thread).

#include <atomic>
#include <memory>
#include <vector>

#include "platform/win32/windows_api.h"

namespace platform::win32 {

// Whether a link still lives, shared by the link and the threads' proxies.
class CLinkLife {
 public:
  void Revoke() { over_.store(true, std::memory_order_release); }
  bool Over() const { return over_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> over_{false};
};

class CThreadProxies final : public IInitializeSpy {
 public:
  // This thread's proxies; with create, made and registered with COM when
  // the thread has none yet. nullptr when there are none (or COM refused the
  // spy; the caller then keeps nothing).
  static CThreadProxies* OfThisThread(bool create);

  // The kept proxy of the link in this apartment, not counted for the caller.
  IUnknown* Find(const CLinkLife& life) const;
  // Keeps a counted reference to the proxy for the link.
  void Keep(const std::shared_ptr<CLinkLife>& life, IUnknown* proxy);
  // Releases the proxies of links that are over.
  void Sweep();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT result, DWORD, DWORD) override { return result; }
  HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD apartmentReferences) override;
  HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }

 private:
  struct Kept {
    std::shared_ptr<CLinkLife> life;
    IUnknown* proxy;
  };

  CThreadProxies() = default;
  ~CThreadProxies() = default;
  void ReleaseAll();

  std::atomic<ULONG> references_{1};
  std::vector<Kept> kept_;
};

}  // namespace platform::win32
