// Plays a WAV of 32-bit floats, read from standard input, on the default output as it
// is:
//   wav_player < FILE.wav
// The WAV must be in the device's own mix format (rate and channels), so that nothing
// converts it, and the device's volume is set to 100% and unmuted first, so that nothing
// scales it. Returns once the last frame has played; exit code 2 for a WAV it cannot
// play as it is.

#include <windows.h>
// After windows.h, which it needs.
#include <endpointvolume.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "scripts/windows-check/default_output.h"

using namespace qztap;

namespace {

constexpr uint32_t FLOAT_FORMAT_TAG = 3;  // WAVE_FORMAT_IEEE_FLOAT

struct Wav {
  uint32_t rate = 0;
  uint16_t channels = 0;
  std::string samples;  // interleaved frames
};

[[noreturn]] void refuse(const char* why) {
  std::fprintf(stderr, "cannot play this WAV as it is: %s\n", why);
  std::exit(2);
}

uint32_t little(const std::string& bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The format and the samples of a RIFF WAVE of 32-bit floats.
Wav parse(const std::string& file) {
  if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0) {
    refuse("no RIFF WAVE header");
  }
  Wav wav;
  bool formatSeen = false;
  for (size_t at = 12; at + 8 <= file.size();) {
    const std::string id = file.substr(at, 4);
    const size_t size = little(file, at + 4, 4);
    if (size > file.size() - at - 8) refuse("a chunk runs past the end of the file");
    if (id == "fmt ") {
      if (size < 16) refuse("a short fmt chunk");
      if (little(file, at + 8, 2) != FLOAT_FORMAT_TAG || little(file, at + 22, 2) != 32) {
        refuse("not 32-bit float");
      }
      wav.channels = static_cast<uint16_t>(little(file, at + 10, 2));
      wav.rate = little(file, at + 12, 4);
      formatSeen = true;
    } else if (id == "data") {
      wav.samples = file.substr(at + 8, size);
    }
    at += 8 + size + (size & 1);
  }
  if (!formatSeen || wav.channels == 0) refuse("no fmt chunk");
  return wav;
}

std::string standardInput() {
  ::_setmode(::_fileno(stdin), _O_BINARY);
  std::string bytes;
  char chunk[65536];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) bytes.append(chunk, got);
  return bytes;
}

// Sets the device's volume to 100% unmuted where the system lets it be set, and says
// what it was and whether it is now.
void fullVolume(IMMDevice& device) {
  const ComPtr<IAudioEndpointVolume> volume = activate<IAudioEndpointVolume>(device);
  float level = 0;
  BOOL muted = FALSE;
  check(volume->GetMasterVolumeLevelScalar(&level), "GetMasterVolumeLevelScalar");
  check(volume->GetMute(&muted), "GetMute");
  HRESULT result = volume->SetMute(FALSE, nullptr);
  if (SUCCEEDED(result)) result = volume->SetMasterVolumeLevelScalar(1.0f, nullptr);
  std::printf("volume was %.0f%%%s, ", static_cast<double>(level) * 100, muted ? " (muted)" : "");
  if (SUCCEEDED(result)) {
    std::printf("now 100%%\n");
  } else {
    std::printf("could not be set: 0x%08lX\n", static_cast<unsigned long>(result));
  }
  std::fflush(stdout);
}

}  // namespace

int main() {
  const Wav wav = parse(standardInput());
  const ComPtr<IMMDevice> device = defaultOutput();
  const ComPtr<IAudioClient> client = activate<IAudioClient>(*device);
  const auto format = mixFormat(*client);
  if (format->nSamplesPerSec != wav.rate || format->nChannels != wav.channels ||
      format->wBitsPerSample != 32) {
    std::fprintf(stderr, "the WAV has %u Hz, %u channels; the device mixes %lu Hz, %u channels\n",
                 wav.rate, static_cast<unsigned>(wav.channels), format->nSamplesPerSec,
                 static_cast<unsigned>(format->nChannels));
    return 2;
  }
  fullVolume(*device);
  check(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10'000'000, 0, format.get(), nullptr),
        "IAudioClient::Initialize");
  UINT32 bufferFrames = 0;
  check(client->GetBufferSize(&bufferFrames), "GetBufferSize");
  const ComPtr<IAudioRenderClient> render = service<IAudioRenderClient>(*client);
  const size_t frameBytes = size_t{4} * wav.channels;
  const size_t frames = wav.samples.size() / frameBytes;
  for (size_t played = 0; played < frames; ::Sleep(10)) {
    UINT32 padding = 0;
    check(client->GetCurrentPadding(&padding), "GetCurrentPadding");
    const auto room =
        static_cast<UINT32>(std::min<size_t>(bufferFrames - padding, frames - played));
    if (room > 0) {
      BYTE* into = nullptr;
      check(render->GetBuffer(room, &into), "IAudioRenderClient::GetBuffer");
      std::memcpy(into, wav.samples.data() + played * frameBytes, room * frameBytes);
      check(render->ReleaseBuffer(room, 0), "IAudioRenderClient::ReleaseBuffer");
      if (played == 0) check(client->Start(), "IAudioClient::Start");
      played += room;
    }
  }
  for (UINT32 padding = 1; padding > 0; ::Sleep(10)) {
    check(client->GetCurrentPadding(&padding), "GetCurrentPadding");
  }
  check(client->Stop(), "IAudioClient::Stop");
  return 0;
}
