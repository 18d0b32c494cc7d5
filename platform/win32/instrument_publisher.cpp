// Publishing an instrument as instrument software does on Windows: a COM
// object in the process's multithreaded apartment, marshalled table-strong
// (so every reader may unmarshal it as often as it likes) into a named file
// mapping behind a 32-bit count. Calls arrive on COM's RPC threads.
//
// With an observer the object is marshalled table-weak instead and counts
// its strong external connections (IExternalConnection): the table then
// holds no reference of its own, so the count shows whether another process
// holds one. The publication's own reference keeps the object alive, and COM
// keeps a table-weak object that has IExternalConnection connected between
// readers.
#include "platform/instrument_publisher.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/win32/instrument_interface.h"

namespace platform {
namespace {

using win32::IVornInstrument;
using win32::kInstrumentInterfaceId;

BSTR ToBstr(const std::string& text) {
  int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  BSTR value = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (value != nullptr && length > 0) {
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), value, length);
  }
  return value;
}

// Counts strong external connections for the observer. COM calls it on its
// own threads; the observer hears every new count.
class CConnectionCount final : public IExternalConnection {
 public:
  CConnectionCount(IUnknown* owner, ConnectionObserver observer)
      : owner_(owner), observer_(std::move(observer)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    return owner_->QueryInterface(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }

  DWORD STDMETHODCALLTYPE AddConnection(DWORD kind, DWORD) override {
    return kind == EXTCONN_STRONG ? Report(+1) : strong_.load();
  }
  DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD kind, DWORD, BOOL) override {
    return kind == EXTCONN_STRONG ? Report(-1) : strong_.load();
  }

 private:
  DWORD Report(int change) {
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD count = strong_ += change;
    observer_(count);
    return count;
  }

  IUnknown* owner_;
  ConnectionObserver observer_;
  std::mutex mutex_;
  std::atomic<DWORD> strong_{0};
};

class CInstrumentObject final : public IVornInstrument {
 public:
  CInstrumentObject(std::shared_ptr<IInstrument> instrument, ConnectionObserver observer)
      : instrument_(std::move(instrument)) {
    if (observer) connections_ = std::make_unique<CConnectionCount>(this, std::move(observer));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kInstrumentInterfaceId)) {
      *object = static_cast<IVornInstrument*>(this);
      AddRef();
      return S_OK;
    }
    if (connections_ != nullptr && IsEqualIID(iid, IID_IExternalConnection)) {
      *object = static_cast<IExternalConnection*>(connections_.get());
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChallenge(BYTE* challenge) override {
    if (challenge == nullptr) return E_POINTER;
    return instrument_->GetChallenge(challenge);
  }
  HRESULT STDMETHODCALLTYPE SetResponse(BYTE* response) override {
    if (response == nullptr) return E_POINTER;
    return instrument_->SetResponse(response);
  }
  HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Preset() override { return instrument_->Preset(); }
  HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved15() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMaterialNumber(BSTR* text) override {
    return AnswerText(&IInstrument::GetMaterialNumber, text);
  }
  HRESULT STDMETHODCALLTYPE GetSerialNumber(BSTR* text) override {
    return AnswerText(&IInstrument::GetSerialNumber, text);
  }
  HRESULT STDMETHODCALLTYPE GetOperatingTime(BSTR* text) override {
    return AnswerText(&IInstrument::GetOperatingTime, text);
  }
  HRESULT STDMETHODCALLTYPE Reserved20() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved21() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved22() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved23() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMacAddress(BSTR* text) override {
    return AnswerText(&IInstrument::GetMacAddress, text);
  }
  HRESULT STDMETHODCALLTYPE Reserved25() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved26() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved27() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved28() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved29() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved30() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved31() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved32() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved33() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BeginInstallation() override {
    return instrument_->BeginInstallation();
  }
  HRESULT STDMETHODCALLTYPE EndInstallation() override { return instrument_->EndInstallation(); }

 private:
  ~CInstrumentObject() = default;

  HRESULT AnswerText(std::int32_t (IInstrument::*method)(std::string&), BSTR* text) {
    if (text == nullptr) return E_POINTER;
    std::string value;
    HRESULT result = ((*instrument_).*method)(value);
    *text = ToBstr(value);
    return result;
  }

  std::atomic<ULONG> references_{1};
  std::shared_ptr<IInstrument> instrument_;
  std::unique_ptr<CConnectionCount> connections_;
};

class CPublication : public IInstrumentPublication {
 public:
  ~CPublication() override {
    if (mapping_ != nullptr) CloseHandle(mapping_);
    if (stream_ != nullptr) {
      LARGE_INTEGER start{};
      stream_->Seek(start, STREAM_SEEK_SET, nullptr);
      if (marshalled_) CoReleaseMarshalData(stream_);
      stream_->Release();
    }
    if (object_ != nullptr) object_->Release();
    if (comInitialised_) CoUninitialize();
  }

  bool Publish(const std::string& blockName, std::shared_ptr<IInstrument> instrument,
               ConnectionObserver observer, std::string& error) {
    HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    comInitialised_ = SUCCEEDED(result);
    DWORD flags = observer ? MSHLFLAGS_TABLEWEAK : MSHLFLAGS_TABLESTRONG;
    object_ = new CInstrumentObject(std::move(instrument), std::move(observer));

    result = CreateStreamOnHGlobal(nullptr, TRUE, &stream_);
    if (FAILED(result)) return Fail(error, "CreateStreamOnHGlobal", result);
    result =
        CoMarshalInterface(stream_, kInstrumentInterfaceId, object_, MSHCTX_LOCAL, nullptr, flags);
    if (FAILED(result)) {
      return Fail(error, "CoMarshalInterface (is the proxy/stub DLL registered?)", result);
    }
    marshalled_ = true;

    STATSTG status{};
    HGLOBAL memory = nullptr;
    if (FAILED(stream_->Stat(&status, STATFLAG_NONAME)) ||
        FAILED(GetHGlobalFromStream(stream_, &memory))) {
      return Fail(error, "reading the marshalled stream", E_FAIL);
    }
    DWORD count = status.cbSize.LowPart;
    mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, count + 4,
                                  blockName.c_str());
    if (mapping_ == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
      return Fail(error, "CreateFileMappingA (the block may exist already)",
                  HRESULT_FROM_WIN32(GetLastError()));
    }
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    if (view == nullptr) return Fail(error, "MapViewOfFile", HRESULT_FROM_WIN32(GetLastError()));
    const void* bytes = GlobalLock(memory);
    std::memcpy(view, &count, 4);
    std::memcpy(view + 4, bytes, count);
    GlobalUnlock(memory);
    UnmapViewOfFile(view);
    return true;
  }

 private:
  static bool Fail(std::string& error, const char* what, HRESULT result) {
    char text[160];
    wsprintfA(text, "%s failed: 0x%08lX", what, static_cast<unsigned long>(result));
    error = text;
    return false;
  }

  bool comInitialised_ = false;
  bool marshalled_ = false;
  CInstrumentObject* object_ = nullptr;
  IStream* stream_ = nullptr;
  HANDLE mapping_ = nullptr;
};

}  // namespace

std::unique_ptr<IInstrumentPublication> PublishInstrument(const std::string& blockName,
                                                          std::shared_ptr<IInstrument> instrument,
                                                          std::string& error,
                                                          ConnectionObserver observer) {
  auto publication = std::make_unique<CPublication>();
  if (!publication->Publish(blockName, std::move(instrument), std::move(observer), error)) {
    return nullptr;
  }
  return publication;
}

void WaitForStopRequest() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE) {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    return;
  }
  Sleep(INFINITE);
}

}  // namespace platform
