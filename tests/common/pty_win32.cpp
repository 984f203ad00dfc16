// Two COM ports joined back to back as the device under test and its peer.
#include "tests/common/pty.h"

#include <cstdlib>
#include <string>

#include <windows.h>

namespace sio_test {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

class ComPeer : public SerialPeer {
 public:
  ComPeer(HANDLE h, std::string device, std::string unplugFile)
      : h_(h), device_(std::move(device)), unplugFile_(std::move(unplugFile)) {}
  ~ComPeer() override {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }

  std::string DeviceName() const override { return device_; }

  bool Write(const void* data, size_t size) override {
    const auto* p = static_cast<const char*>(data);
    const DWORD start = ::GetTickCount();
    while (size > 0) {
      if (::GetTickCount() - start > 10000) return false;
      DWORD n = 0;
      const DWORD chunk = size > 65536 ? 65536 : static_cast<DWORD>(size);
      if (!::WriteFile(h_, p, chunk, &n, nullptr)) return false;
      p += n;
      size -= n;
    }
    return true;
  }

  size_t Read(void* data, size_t size, uint32_t timeoutMs) override {
    auto* p = static_cast<char*>(data);
    size_t got = 0;
    const DWORD start = ::GetTickCount();
    while (got < size) {
      const DWORD elapsed = ::GetTickCount() - start;
      if (elapsed >= timeoutMs) break;
      COMMTIMEOUTS t{};
      t.ReadIntervalTimeout = MAXDWORD;
      t.ReadTotalTimeoutMultiplier = MAXDWORD;
      t.ReadTotalTimeoutConstant = timeoutMs - elapsed < 100 ? timeoutMs - elapsed : 100;
      ::SetCommTimeouts(h_, &t);
      DWORD n = 0;
      const DWORD chunk = size - got > 65536 ? 65536 : static_cast<DWORD>(size - got);
      if (!::ReadFile(h_, p + got, chunk, &n, nullptr)) break;
      got += n;
    }
    return got;
  }

  void Drain() override {
    char sink[4096];
    while (Read(sink, sizeof sink, 50) > 0) {
    }
  }

  bool Unplug(std::string& whyNot) override {
    if (unplugFile_.empty()) {
      whyNot = "SIO_TEST_UNPLUG is not set";
      return false;
    }
    HANDLE f = ::CreateFileA(unplugFile_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
      whyNot = "cannot create " + unplugFile_;
      return false;
    }
    ::CloseHandle(f);
    return true;
  }

 private:
  HANDLE h_;
  std::string device_;
  std::string unplugFile_;
};

}  // namespace

std::unique_ptr<SerialPeer> SerialPeer::Create(std::string& whyNot) {
  const std::string com = Env("SIO_TEST_COM");
  const std::string peer = Env("SIO_TEST_PEER_COM");
  if (com.empty() || peer.empty()) {
    whyNot = "SIO_TEST_COM and SIO_TEST_PEER_COM name no port pair";
    return nullptr;
  }
  const std::string peerName = "\\\\.\\COM" + peer;
  HANDLE h = ::CreateFileA(peerName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    whyNot = "cannot open " + peerName + " (error " + std::to_string(::GetLastError()) + ")";
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutX = dcb.fInX = FALSE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
  ::SetCommState(h, &dcb);
  return std::make_unique<ComPeer>(h, "\\\\.\\COM" + com, Env("SIO_TEST_UNPLUG"));
}

bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& f) {
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

}  // namespace sio_test
