#include "platform/win32/thread_proxies.h"

namespace platform::win32 {
namespace {

// Owned by COM's registration of the spy, which lasts as long as the thread
// (COM lets go of a thread's spies when the thread ends); this is only the
// way back to it.
thread_local CThreadProxies* t_proxies = nullptr;

}  // namespace

CThreadProxies* CThreadProxies::OfThisThread(bool create) {
  if (t_proxies != nullptr || !create) return t_proxies;
  auto* proxies = new CThreadProxies();
  ULARGE_INTEGER cookie{};
  HRESULT result = CoRegisterInitializeSpy(proxies, &cookie);
  proxies->Release();  // COM holds it now, or nobody does
  if (FAILED(result)) return nullptr;
  t_proxies = proxies;
  return proxies;
}

IUnknown* CThreadProxies::Find(const CLinkLife& life) const {
  for (const Kept& kept : kept_) {
    if (kept.life.get() == &life) return kept.proxy;
  }
  return nullptr;
}

void CThreadProxies::Keep(const std::shared_ptr<CLinkLife>& life, IUnknown* proxy) {
  proxy->AddRef();
  kept_.push_back(Kept{life, proxy});
}

void CThreadProxies::Sweep() {
  for (std::size_t i = 0; i < kept_.size();) {
    if (kept_[i].life->Over()) {
      IUnknown* proxy = kept_[i].proxy;
      kept_[i] = std::move(kept_.back());
      kept_.pop_back();
      proxy->Release();
    } else {
      ++i;
    }
  }
}

void CThreadProxies::ReleaseAll() {
  // Released from a copy: a release may run code that asks for this list.
  std::vector<Kept> kept;
  kept.swap(kept_);
  for (Kept& entry : kept) entry.proxy->Release();
}

HRESULT STDMETHODCALLTYPE CThreadProxies::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IInitializeSpy)) {
    *object = static_cast<IInitializeSpy*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CThreadProxies::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE CThreadProxies::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

// The last CoUninitialize of the thread: its apartment, and every proxy in
// it, is about to go.
HRESULT STDMETHODCALLTYPE CThreadProxies::PreUninitialize(DWORD apartmentReferences) {
  if (apartmentReferences == 1) ReleaseAll();
  return S_OK;
}

}  // namespace platform::win32
