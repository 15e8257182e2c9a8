// The capture service on Windows, over WASAPI: records what the default output device
// plays through a shared-mode loopback stream, in the device's own mix format, and
// follows the default when the user picks another output or the device goes away.
//
// One thread, named after the delivery queue, opens the device, waits for packets and
// delivers them: it is the serial queue the audio output is promised. The device
// notification callback only sets an event that thread waits on.

#include <windows.h>
// After windows.h, which they need.
#include <audioclient.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/deinterleave.h"
#include "capture/capture_service.h"
#include "capture/silence_filler.h"
#include "capture/wasapi/wasapi_com_owners.h"
#include "capture/wasapi/wasapi_errors.h"
#include "capture/wasapi/wasapi_follow_default.h"

namespace qztap {
namespace {

// How long the capture thread waits for a packet before it delivers the silence
// the clock has reached: the loopback stream sends nothing while nothing plays.
constexpr DWORD IDLE_WAKE_MS = 15;

// The stream's buffer: room for a second, so that a delivery held up by a slow
// consumer loses nothing.
constexpr REFERENCE_TIME BUFFER_DURATION = 10'000'000;

struct HandleClose {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using EventHandle = std::unique_ptr<void, HandleClose>;

bool isFloat32(const WAVEFORMATEX& format) {
  if (format.wBitsPerSample != 32) return false;
  if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < 22) return false;
  const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
  return ::IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) != FALSE;
}

std::wstring wide(const std::string& utf8) {
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(),
                        length);
  return text;
}

// SetThreadDescription, looked up at run time: it is new in Windows 10 1607, and
// not every Windows SDK or MinGW-w64 declares it.
void nameThread(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, "SetThreadDescription") : nullptr;
  if (found == nullptr) return;
  reinterpret_cast<SetDescription>(reinterpret_cast<void*>(found))(::GetCurrentThread(),
                                                                   wide(name).c_str());
}

int64_t performanceTime() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  ::QueryPerformanceCounter(&count);
  ::QueryPerformanceFrequency(&frequency);
  // In the 100-ns units packets are stamped in; split so that the product cannot overflow.
  return count.QuadPart / frequency.QuadPart * 10'000'000 +
         count.QuadPart % frequency.QuadPart * 10'000'000 / frequency.QuadPart;
}

// The device's ID; on failure `result` says why.
std::optional<std::wstring> idOf(IMMDevice& device, HRESULT& result) {
  wchar_t* id = nullptr;
  result = device.GetId(&id);
  if (FAILED(result)) return std::nullopt;
  const std::unique_ptr<wchar_t, TaskMemFree> owned(id);
  return std::wstring(id);
}

ComPtr<IMMDeviceEnumerator> makeEnumerator(HRESULT& result) {
  IMMDeviceEnumerator* enumerator = nullptr;
  result = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                              __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
  return ComPtr<IMMDeviceEnumerator>(enumerator);
}

// Sets an event when the default console output changes; nothing else, since COM
// must not be called back from inside a notification.
class DefaultChangeNotifier final : public IMMNotificationClient {
 public:
  explicit DefaultChangeNotifier(HANDLE changedEvent) : changed(changedEvent) {}

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
    if (flow == eRender && role == eConsole) ::SetEvent(changed);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

  // Lives as long as the process: the counts are kept only for COM's sake.
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
      *object = static_cast<IMMNotificationClient*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 private:
  HANDLE changed;
};

// One opened, running loopback stream on one device.
struct Recording {
  std::wstring deviceId;
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  ComPtr<IAudioClient> silence;  // keeps the device's engine, and so its packets, going
  uint32_t rate = 0;
  uint32_t channels = 0;
};

class WasapiCaptureStream final : public CaptureStream {
 public:
  explicit WasapiCaptureStream(StreamDelegate& stopDelegate) : delegate(stopDelegate) {}

  Registration addStreamOutput(StreamOutput& newOutput, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    if (type != StreamOutputType::Audio) {
      return {false, CaptureError{"only audio output can be captured"}};
    }
    output = &newOutput;
    queueLabel = queue.label;
    return {true, std::nullopt};
  }

  // The completion runs on the capture thread, before its first delivery.
  void startCapture(std::function<void(std::optional<CaptureError>)> completion) override {
    std::thread([this, done = std::move(completion)] { run(done); }).detach();
  }

 private:
  void run(const std::function<void(std::optional<CaptureError>)>& completion) {
    nameThread(queueLabel);
    if (std::optional<CaptureError> error = prepare()) return completion(std::move(error));
    HRESULT result = S_OK;
    std::optional<Recording> first = open(result);
    if (!first) return completion(describeHresult(result));
    recording = std::move(*first);
    filler.emplace(*output, recording.rate);
    filler->start(performanceTime());
    completion(std::nullopt);
    deliverUntilStopped();
  }

  std::optional<CaptureError> prepare() {
    HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return describeHresult(result);
    enumerator = makeEnumerator(result);
    if (!enumerator) return describeHresult(result);
    packetReady.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    defaultChanged.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!packetReady || !defaultChanged)
      return describeHresult(HRESULT_FROM_WIN32(::GetLastError()));
    notifier = std::make_unique<DefaultChangeNotifier>(defaultChanged.get());
    result = enumerator->RegisterEndpointNotificationCallback(notifier.get());
    if (FAILED(result)) return describeHresult(result);
    return std::nullopt;
  }

  std::optional<std::wstring> defaultDeviceId() {
    IMMDevice* device = nullptr;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)))
      return std::nullopt;
    const ComPtr<IMMDevice> owned(device);
    HRESULT ignored = S_OK;
    return idOf(*device, ignored);
  }

  // Opens and starts a loopback stream on the default output; on failure `result`
  // says why.
  std::optional<Recording> open(HRESULT& result) {
    IMMDevice* rawDevice = nullptr;
    result = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &rawDevice);
    if (FAILED(result)) return std::nullopt;
    const ComPtr<IMMDevice> device(rawDevice);

    Recording opened;
    std::optional<std::wstring> id = idOf(*device, result);
    if (!id) return std::nullopt;
    opened.deviceId = std::move(*id);

    IAudioClient* client = nullptr;
    result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                              reinterpret_cast<void**>(&client));
    if (FAILED(result)) return std::nullopt;
    opened.client.reset(client);

    WAVEFORMATEX* rawFormat = nullptr;
    result = client->GetMixFormat(&rawFormat);
    if (FAILED(result)) return std::nullopt;
    const std::unique_ptr<WAVEFORMATEX, TaskMemFree> format(rawFormat);
    // The conversion takes 32-bit floats only, which is what the shared-mode engine mixes in.
    if (!isFloat32(*format)) {
      result = AUDCLNT_E_UNSUPPORTED_FORMAT;
      return std::nullopt;
    }
    opened.rate = format->nSamplesPerSec;
    opened.channels = format->nChannels;

    result = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                BUFFER_DURATION, 0, format.get(), nullptr);
    if (FAILED(result)) return std::nullopt;
    result = client->SetEventHandle(packetReady.get());
    if (FAILED(result)) return std::nullopt;
    IAudioCaptureClient* capture = nullptr;
    result = client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture));
    if (FAILED(result)) return std::nullopt;
    opened.capture.reset(capture);
    opened.silence = playSilence(*device, *format, result);
    if (!opened.silence) return std::nullopt;
    result = client->Start();
    if (FAILED(result)) return std::nullopt;
    return opened;
  }

  // A render stream on the device, given one buffer of silence and started. Windows
  // sends no loopback packets while nothing plays; with a stream of its own running,
  // the engine keeps mixing and the packets keep their pace with the device's clock.
  // Once its silence has played the stream runs dry, which only keeps it quiet.
  static ComPtr<IAudioClient> playSilence(IMMDevice& device, const WAVEFORMATEX& format,
                                          HRESULT& result) {
    IAudioClient* rawClient = nullptr;
    result = device.Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                             reinterpret_cast<void**>(&rawClient));
    if (FAILED(result)) return nullptr;
    ComPtr<IAudioClient> client(rawClient);
    result = client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, BUFFER_DURATION, 0, &format, nullptr);
    if (FAILED(result)) return nullptr;
    UINT32 frames = 0;
    result = client->GetBufferSize(&frames);
    if (FAILED(result)) return nullptr;
    IAudioRenderClient* rawRender = nullptr;
    result = client->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void**>(&rawRender));
    if (FAILED(result)) return nullptr;
    const ComPtr<IAudioRenderClient> render(rawRender);
    BYTE* buffer = nullptr;
    result = render->GetBuffer(frames, &buffer);
    if (FAILED(result)) return nullptr;
    result = render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
    if (FAILED(result)) return nullptr;
    result = client->Start();
    if (FAILED(result)) return nullptr;
    return client;
  }

  [[noreturn]] void stop(HRESULT why) {
    delegate.didStopWithError(describeHresult(why));
    // The delegate ends the process; nothing is delivered after a stop regardless.
    for (;;) ::Sleep(INFINITE);
  }

  void deliverUntilStopped() {
    const HANDLE events[] = {packetReady.get(), defaultChanged.get()};
    for (;;) {
      const DWORD woke = ::WaitForMultipleObjects(2, events, FALSE, IDLE_WAKE_MS);
      if (woke == WAIT_OBJECT_0 + 1) follow(/*lost=*/false, S_OK);
      const HRESULT result = deliverPackets();
      if (result == AUDCLNT_E_DEVICE_INVALIDATED) {
        follow(/*lost=*/true, result);
      } else if (FAILED(result)) {
        stop(result);
      }
      filler->clockTick(performanceTime());
    }
  }

  void follow(bool lost, HRESULT lossReason) {
    const std::optional<std::wstring> defaultId = defaultDeviceId();
    FollowStep step = nextFollowStep(lost, defaultId, recording.deviceId);
    if (step == FollowStep::OpenDefault) {
      HRESULT result = S_OK;
      if (std::optional<Recording> next = open(result)) {
        if (recording.client) recording.client->Stop();
        if (recording.silence) recording.silence->Stop();
        recording = std::move(*next);
        filler->changeRate(recording.rate);
        return;
      }
      step = afterFailedOpen(lost);
    }
    if (step == FollowStep::Stop) stop(lossReason);
  }

  // Delivers every packet the stream holds, each after the silence that preceded it.
  HRESULT deliverPackets() {
    for (;;) {
      BYTE* data = nullptr;
      UINT32 frames = 0;
      DWORD flags = 0;
      UINT64 packetTime = 0;
      HRESULT result = recording.capture->GetBuffer(&data, &frames, &flags, nullptr, &packetTime);
      if (result == AUDCLNT_S_BUFFER_EMPTY) return S_OK;
      if (FAILED(result)) return result;
      std::optional<int64_t> captureTime;  // none when the stream cannot tell
      if ((flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0) {
        captureTime = static_cast<int64_t>(packetTime);
      }
      filler->bufferComing(captureTime, performanceTime());
      if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        filler->silentBuffer(frames);
      } else {
        deliver(reinterpret_cast<const float*>(data), frames);
      }
      result = recording.capture->ReleaseBuffer(frames);
      if (FAILED(result)) return result;
    }
  }

  // De-interleaves the device's frames into one entry per channel.
  void deliver(const float* frames, size_t frameCount) {
    planar.resize(frameCount * recording.channels);
    entries.clear();
    deinterleave(frames, frameCount, recording.channels, planar.data(), entries);
    filler->didOutputBuffer(StreamOutputType::Audio, recording.rate, entries);
  }

  StreamDelegate& delegate;
  StreamOutput* output = nullptr;
  std::string queueLabel;
  // Everything below belongs to the capture thread.
  ComPtr<IMMDeviceEnumerator> enumerator;
  EventHandle packetReady;
  EventHandle defaultChanged;
  std::unique_ptr<DefaultChangeNotifier> notifier;
  Recording recording;
  std::optional<SilenceFiller> filler;  // between the stream and the output
  std::vector<float> planar;
  std::vector<AudioEntry> entries;
};

class WasapiCaptureService final : public CaptureService {
 public:
  // The one thing to capture is the default console output. None is NO_DISPLAY; an
  // audio service that cannot be reached, or refuses the client, is an error.
  void getShareableContent(
      bool, bool,
      std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion)
      override {
    HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(result)) return completion(std::nullopt, describeHresult(result));
    const ComPtr<IMMDeviceEnumerator> enumerator = makeEnumerator(result);
    if (!enumerator) return completion(std::nullopt, describeHresult(result));
    IMMDevice* rawDevice = nullptr;
    result = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &rawDevice);
    if (result == HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
      return completion(ShareableContent{}, std::nullopt);
    if (FAILED(result)) return completion(std::nullopt, describeHresult(result));
    const ComPtr<IMMDevice> device(rawDevice);
    IAudioClient* client = nullptr;
    result = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                              reinterpret_cast<void**>(&client));
    if (FAILED(result)) return completion(std::nullopt, describeHresult(result));
    client->Release();
    completion(ShareableContent{{Display{"default output"}}}, std::nullopt);
  }

  std::unique_ptr<CaptureStream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                            StreamDelegate& delegate) override {
    return std::make_unique<WasapiCaptureStream>(delegate);
  }
};

}  // namespace

std::unique_ptr<CaptureService> makePlatformCaptureService() {
  return std::make_unique<WasapiCaptureService>();
}

}  // namespace qztap
