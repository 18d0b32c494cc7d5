// The instrument link on Windows: the instrument software marshals its
// interface into a named file mapping; we unmarshal it with COM once, when a
// device links, and hold that reference until the link is released.
//
// The reference is used on other threads than the one that linked it (the
// control channel asks linked instruments for serial numbers under the
// server lock, and each session thread is a single-threaded apartment of its
// own). A proxy is valid only in the apartment that unmarshalled it, so the
// link registers its proxy in the process's Global Interface Table once and
// every other apartment gets a proxy of its own from there, on its first
// call, and keeps it for its next calls (see thread_proxies.h). Should the
// table be unable to hand one out (its entry may go with the apartment that
// registered it), the apartment unmarshals its own proxy from the block's
// marshalling data, which the instrument software marshalled table-strong
// and which can therefore be unmarshalled again.
//
// A thread without COM gets a multithreaded apartment for the duration of
// the call.
#include "platform/instrument_link.h"

#include <cstring>
#include <vector>

#include "platform/win32/com_scope.h"
#include "platform/win32/instrument_interface.h"
#include "platform/win32/thread_proxies.h"

namespace platform {
namespace {

using win32::CComScope;
using win32::CLinkLife;
using win32::CThreadProxies;
using win32::kInstrumentInterfaceId;

// Marshalling data of one interface reference is a few hundred bytes; a count
// beyond this comes from a damaged block.
constexpr std::uint32_t kMaxMarshalBytes = 64 * 1024;

// Unmarshals the data as IUnknown, from a stream over a fixed global block
// that the stream frees, and asks for the instrument interface.
HRESULT UnmarshalInstrument(const std::vector<std::uint8_t>& data, IUnknown** instrument) {
  *instrument = nullptr;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, data.size());
  if (block == nullptr) return E_OUTOFMEMORY;
  std::memcpy(block, data.data(), data.size());
  IStream* stream = nullptr;
  HRESULT result = CreateStreamOnHGlobal(block, TRUE, &stream);
  if (FAILED(result)) {
    GlobalFree(block);
    return result;
  }
  IUnknown* unknown = nullptr;
  result = CoUnmarshalInterface(stream, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  stream->Release();
  if (FAILED(result)) return result;
  if (result != S_OK) {
    unknown->Release();
    return E_UNEXPECTED;
  }
  result = unknown->QueryInterface(kInstrumentInterfaceId, reinterpret_cast<void**>(instrument));
  unknown->Release();
  return result;
}

HRESULT GlobalTable(IGlobalInterfaceTable** table) {
  return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IGlobalInterfaceTable, reinterpret_cast<void**>(table));
}

// Calls the method at a position of the interface's method table.
template <typename... Args>
HRESULT CallSlot(IUnknown* object, int slot, Args... args) {
  using Method = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, Args...);
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Method>(table[slot])(object, args...);
}

std::string ToAnsi(BSTR text) {
  if (text == nullptr) return {};
  int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return {};
  int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string ansi(size > 0 ? size : 0, '\0');
  if (size > 0) WideCharToMultiByte(CP_ACP, 0, text, length, ansi.data(), size, nullptr, nullptr);
  return ansi;
}

class CComInstrument : public IInstrument {
 public:
  CComInstrument(std::vector<std::uint8_t> marshalData, DWORD tableCookie)
      : marshalData_(std::move(marshalData)), tableCookie_(tableCookie) {}

  // The proxy of this thread goes now; those of other threads when their
  // thread next calls an instrument or leaves its apartment, since a proxy
  // may only be released in its own apartment.
  ~CComInstrument() override {
    life_->Revoke();
    CComScope com;
    if (CThreadProxies* proxies = CThreadProxies::OfThisThread(false)) proxies->Sweep();
    IGlobalInterfaceTable* table = nullptr;
    if (tableCookie_ != 0 && SUCCEEDED(GlobalTable(&table))) {
      table->RevokeInterfaceFromGlobal(tableCookie_);
      table->Release();
    }
  }

  const std::shared_ptr<CLinkLife>& Life() const { return life_; }

  std::int32_t GetChallenge(std::uint8_t* buffer128) override {
    return Call(kSlotGetChallenge, reinterpret_cast<BYTE*>(buffer128));
  }
  std::int32_t SetResponse(const std::uint8_t* response) override {
    return Call(kSlotSetResponse, const_cast<BYTE*>(response));
  }
  std::int32_t Preset() override { return Call(kSlotPreset); }
  std::int32_t GetMaterialNumber(std::string& text) override {
    return CallForText(kSlotGetMaterialNumber, text);
  }
  std::int32_t GetSerialNumber(std::string& text) override {
    return CallForText(kSlotGetSerialNumber, text);
  }
  std::int32_t GetOperatingTime(std::string& text) override {
    return CallForText(kSlotGetOperatingTime, text);
  }
  std::int32_t GetMacAddress(std::string& text) override {
    return CallForText(kSlotGetMacAddress, text);
  }
  std::int32_t BeginInstallation() override { return Call(kSlotBeginInstallation); }
  std::int32_t EndInstallation() override { return Call(kSlotEndInstallation); }

 private:
  // This apartment's proxy, counted for the caller: the one it keeps, else a
  // new one from the Global Interface Table (or the marshalling data), kept
  // for later calls when the thread can keep proxies.
  HRESULT Proxy(IUnknown** proxy) {
    CThreadProxies* proxies = CThreadProxies::OfThisThread(true);
    if (proxies != nullptr) {
      proxies->Sweep();
      if ((*proxy = proxies->Find(*life_)) != nullptr) {
        (*proxy)->AddRef();
        return S_OK;
      }
    }
    HRESULT result = E_FAIL;
    IGlobalInterfaceTable* table = nullptr;
    if (tableCookie_ != 0 && SUCCEEDED(GlobalTable(&table))) {
      result = table->GetInterfaceFromGlobal(tableCookie_, kInstrumentInterfaceId,
                                             reinterpret_cast<void**>(proxy));
      table->Release();
    }
    if (FAILED(result)) result = UnmarshalInstrument(marshalData_, proxy);
    if (FAILED(result)) return result;
    if (proxies != nullptr) proxies->Keep(life_, *proxy);
    return S_OK;
  }

  template <typename... Args>
  std::int32_t Call(int slot, Args... args) {
    CComScope com;
    IUnknown* instrument = nullptr;
    HRESULT result = Proxy(&instrument);
    if (FAILED(result)) return result;
    result = CallSlot(instrument, slot, args...);
    instrument->Release();
    return result;
  }

  std::int32_t CallForText(int slot, std::string& text) {
    BSTR value = nullptr;
    std::int32_t result = Call(slot, &value);
    text = ToAnsi(value);
    SysFreeString(value);
    return result;
  }

  const std::vector<std::uint8_t> marshalData_;
  const DWORD tableCookie_;
  const std::shared_ptr<CLinkLife> life_ = std::make_shared<CLinkLife>();
};

// Copies the count and the marshalling data behind it out of the mapping.
bool ReadBlock(HANDLE mapping, std::vector<std::uint8_t>& data) {
  const void* head = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4);
  if (head == nullptr) return false;
  std::uint32_t count = 0;
  std::memcpy(&count, head, 4);
  UnmapViewOfFile(head);
  if (count == 0 || count > kMaxMarshalBytes) return false;
  // A view larger than the mapping fails, so a count that claims more bytes
  // than the block holds is refused here.
  const auto* view =
      static_cast<const std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, count + 4));
  if (view == nullptr) return false;
  data.assign(view + 4, view + 4 + count);
  UnmapViewOfFile(view);
  return true;
}

class CInstrumentLinker : public IInstrumentLinker {
 public:
  LinkResult Link(const std::string& blockName, std::shared_ptr<IInstrument>& out) override {
    out.reset();
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, blockName.c_str());
    if (mapping == nullptr) return LinkResult::kNoBlock;
    std::vector<std::uint8_t> data;
    bool read = ReadBlock(mapping, data);
    CloseHandle(mapping);
    if (!read) return LinkResult::kFailed;

    CComScope com;
    IUnknown* instrument = nullptr;
    if (UnmarshalInstrument(data, &instrument) != S_OK) return LinkResult::kFailed;
    // Without a table entry other apartments still reach the instrument,
    // each through marshalling data of its own.
    DWORD cookie = 0;
    IGlobalInterfaceTable* table = nullptr;
    if (SUCCEEDED(GlobalTable(&table))) {
      if (FAILED(table->RegisterInterfaceInGlobal(instrument, kInstrumentInterfaceId, &cookie))) {
        cookie = 0;
      }
      table->Release();
    }
    auto link = std::make_shared<CComInstrument>(std::move(data), cookie);
    // The linking thread keeps the proxy it unmarshalled for its own calls.
    if (CThreadProxies* proxies = CThreadProxies::OfThisThread(true)) {
      proxies->Keep(link->Life(), instrument);
    }
    instrument->Release();
    out = std::move(link);
    return LinkResult::kLinked;
  }
};

}  // namespace

IInstrumentLinker& InstrumentLinker() {
  static CInstrumentLinker linker;
  return linker;
}

}  // namespace platform
