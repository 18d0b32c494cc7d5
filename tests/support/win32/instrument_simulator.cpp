#include "tests/support/instrument_simulator.h"

#include <chrono>
#include <string>

#include "platform/win32/windows_api.h"

struct CInstrumentSimulator::Process {
  PROCESS_INFORMATION info{};
  HANDLE input = nullptr;   // our end of its standard input
  HANDLE output = nullptr;  // our end of its standard output
};

namespace {

constexpr std::uint32_t kReadyTimeoutMs = 20000;

// The build directory as Wine's Z: drive shows it.
std::string BuildPath(const std::string& relative) {
  std::string path = std::string("Z:") + VORN_BINARY_DIR + "/" + relative;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string Quote(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The instrument software's installer would register the proxy/stub DLL of
// its interface; here the test does, once per process, in its Wine prefix.
bool RegisterInstrumentProxy(std::string& error) {
  static HRESULT result = [] {
    HMODULE module =
        LoadLibraryA(BuildPath("tools/vorn-instrument-sim/vorn_instrument_ps.dll").c_str());
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    using Register = HRESULT(STDAPICALLTYPE*)();
    auto reg = reinterpret_cast<Register>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    return reg != nullptr ? reg() : E_FAIL;
  }();
  if (FAILED(result)) {
    error = "cannot register vorn_instrument_ps.dll: " + std::to_string(result);
    return false;
  }
  return true;
}

}  // namespace

CInstrumentSimulator::CInstrumentSimulator() = default;
CInstrumentSimulator::~CInstrumentSimulator() { Stop(); }

bool CInstrumentSimulator::Start(const std::vector<std::string>& arguments, std::string& error) {
  Stop();
  if (!RegisterInstrumentProxy(error)) return false;

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childInput = nullptr, childOutput = nullptr;
  process_ = std::make_unique<Process>();
  if (!CreatePipe(&childInput, &process_->input, &inherit, 0) ||
      !CreatePipe(&process_->output, &childOutput, &inherit, 0)) {
    error = "CreatePipe";
    Stop();
    return false;
  }
  SetHandleInformation(process_->input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(process_->output, HANDLE_FLAG_INHERIT, 0);

  std::string executable = BuildPath("tools/vorn-instrument-sim/vorn-instrument-sim.exe");
  std::string commandLine = Quote(executable);
  for (const std::string& argument : arguments) commandLine += " " + Quote(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  BOOL created = CreateProcessA(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                nullptr, nullptr, &startup, &process_->info);
  CloseHandle(childInput);
  CloseHandle(childOutput);
  if (!created) {
    error = "CreateProcessA " + executable + " failed: " + std::to_string(GetLastError());
    Stop();
    return false;
  }
  std::string line;
  if (!ReadLine(line, kReadyTimeoutMs) || line.rfind("ready ", 0) != 0) {
    error = "no ready line from the simulator (got \"" + line + "\")";
    Stop();
    return false;
  }
  return true;
}

bool CInstrumentSimulator::ReadLine(std::string& line, std::uint32_t timeoutMs) {
  line.clear();
  if (!process_ || process_->output == nullptr) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending_.erase(0, end + 1);
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    DWORD available = 0;
    if (!PeekNamedPipe(process_->output, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      Sleep(10);
      continue;
    }
    char buffer[512];
    DWORD got = 0;
    if (!ReadFile(process_->output, buffer, sizeof buffer, &got, nullptr) || got == 0) return false;
    pending_.append(buffer, got);
  }
}

void CInstrumentSimulator::Stop() {
  if (!process_) return;
  if (process_->input != nullptr) CloseHandle(process_->input);
  if (process_->info.hProcess != nullptr) {
    if (WaitForSingleObject(process_->info.hProcess, 5000) != WAIT_OBJECT_0) {
      TerminateProcess(process_->info.hProcess, 1);
      WaitForSingleObject(process_->info.hProcess, 5000);
    }
    CloseHandle(process_->info.hProcess);
    CloseHandle(process_->info.hThread);
  }
  if (process_->output != nullptr) CloseHandle(process_->output);
  process_.reset();
  pending_.clear();
}

std::string UniqueInstrumentKey(const std::string& prefix) {
  static int counter = 0;
  return prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(GetTickCount() % 100000) + "-" + std::to_string(++counter);
}

// Wine's COM cannot release the marshalled data of a proxy to another
// process (CoReleaseMarshalData answers RPC_E_INVALID_OBJREF), so the
// reference that the Global Interface Table took for a link's entry stays
// with the instrument after the entry is revoked. Windows releases it.
bool InstrumentSeesTheLastReferenceGo() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
}
