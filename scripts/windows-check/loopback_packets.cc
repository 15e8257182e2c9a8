// Counts the default output's loopback packets, second by second, whatever plays:
//   loopback_packets SECONDS
// prints the device's mix format, then for each second the packets that came, their
// frames, and how many were flagged silent. Windows sends none while nothing plays,
// unless a render stream keeps the device's engine going.

#include <cstdlib>

#include "scripts/windows-check/default_output.h"

using namespace qztap;

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
  const ComPtr<IMMDevice> device = defaultOutput();
  const ComPtr<IAudioClient> client = activate<IAudioClient>(*device);
  const auto format = mixFormat(*client);
  std::printf("format rate=%lu channels=%u bits=%u\n", format->nSamplesPerSec,
              static_cast<unsigned>(format->nChannels),
              static_cast<unsigned>(format->wBitsPerSample));
  std::fflush(stdout);
  check(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 10'000'000, 0,
                           format.get(), nullptr),
        "IAudioClient::Initialize");
  const ComPtr<IAudioCaptureClient> capture = service<IAudioCaptureClient>(*client);
  check(client->Start(), "IAudioClient::Start");
  for (int second = 1; second <= seconds; ++second) {
    unsigned packets = 0, silent = 0;
    unsigned long long frames = 0;
    for (const ULONGLONG end = ::GetTickCount64() + 1000; ::GetTickCount64() < end;) {
      ::Sleep(5);
      for (;;) {
        BYTE* data = nullptr;
        UINT32 count = 0;
        DWORD flags = 0;
        const HRESULT result = capture->GetBuffer(&data, &count, &flags, nullptr, nullptr);
        if (result == AUDCLNT_S_BUFFER_EMPTY) break;
        check(result, "IAudioCaptureClient::GetBuffer");
        ++packets;
        frames += count;
        if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) ++silent;
        check(capture->ReleaseBuffer(count), "IAudioCaptureClient::ReleaseBuffer");
      }
    }
    std::printf("second=%d packets=%u frames=%llu silent=%u\n", second, packets, frames, silent);
    std::fflush(stdout);
  }
  return 0;
}
