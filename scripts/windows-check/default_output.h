#pragma once

// What the Windows check's helpers share: the default output device and the calls on
// it. Each helper ends with exit code 1 and the failed call on standard error at the
// first failure.

#include <windows.h>
// After windows.h, which they need.
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "capture/wasapi/wasapi_com_owners.h"

namespace qztap {

inline void check(HRESULT result, const char* call) {
  if (SUCCEEDED(result)) return;
  std::fprintf(stderr, "%s failed: 0x%08lX\n", call, static_cast<unsigned long>(result));
  std::exit(1);
}

// The default output (console role).
inline ComPtr<IMMDevice> defaultOutput() {
  check(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
  IMMDeviceEnumerator* enumerator = nullptr;
  check(::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                           __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator)),
        "CoCreateInstance(MMDeviceEnumerator)");
  const ComPtr<IMMDeviceEnumerator> owned(enumerator);
  IMMDevice* device = nullptr;
  check(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), "GetDefaultAudioEndpoint");
  return ComPtr<IMMDevice>(device);
}

template <typename T>
ComPtr<T> activate(IMMDevice& device) {
  T* object = nullptr;
  check(device.Activate(__uuidof(T), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&object)),
        "IMMDevice::Activate");
  return ComPtr<T>(object);
}

template <typename T>
ComPtr<T> service(IAudioClient& client) {
  T* object = nullptr;
  check(client.GetService(__uuidof(T), reinterpret_cast<void**>(&object)), "GetService");
  return ComPtr<T>(object);
}

inline std::unique_ptr<WAVEFORMATEX, TaskMemFree> mixFormat(IAudioClient& client) {
  WAVEFORMATEX* format = nullptr;
  check(client.GetMixFormat(&format), "GetMixFormat");
  return std::unique_ptr<WAVEFORMATEX, TaskMemFree>(format);
}

}  // namespace qztap
