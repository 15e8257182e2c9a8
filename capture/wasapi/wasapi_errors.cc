#include "capture/wasapi/wasapi_errors.h"

// After windows.h, which it needs.
#include <audioclient.h>

#include "status/windows_message.h"

namespace qztap {
namespace {

// The audio client's own codes have no system text: each gets its name.
const char* audioClientErrorName(HRESULT code) {
  switch (code) {
    case AUDCLNT_E_DEVICE_INVALIDATED:
      return "AUDCLNT_E_DEVICE_INVALIDATED";
    case AUDCLNT_E_SERVICE_NOT_RUNNING:
      return "AUDCLNT_E_SERVICE_NOT_RUNNING";
    case AUDCLNT_E_UNSUPPORTED_FORMAT:
      return "AUDCLNT_E_UNSUPPORTED_FORMAT";
    case AUDCLNT_E_DEVICE_IN_USE:
      return "AUDCLNT_E_DEVICE_IN_USE";
    case AUDCLNT_E_ENDPOINT_CREATE_FAILED:
      return "AUDCLNT_E_ENDPOINT_CREATE_FAILED";
    case AUDCLNT_E_NOT_INITIALIZED:
      return "AUDCLNT_E_NOT_INITIALIZED";
    case AUDCLNT_E_ALREADY_INITIALIZED:
      return "AUDCLNT_E_ALREADY_INITIALIZED";
    case AUDCLNT_E_WRONG_ENDPOINT_TYPE:
      return "AUDCLNT_E_WRONG_ENDPOINT_TYPE";
    case AUDCLNT_E_BUFFER_ERROR:
      return "AUDCLNT_E_BUFFER_ERROR";
    case AUDCLNT_E_BUFFER_SIZE_ERROR:
      return "AUDCLNT_E_BUFFER_SIZE_ERROR";
    case AUDCLNT_E_OUT_OF_ORDER:
      return "AUDCLNT_E_OUT_OF_ORDER";
    case AUDCLNT_E_INVALID_STREAM_FLAG:
      return "AUDCLNT_E_INVALID_STREAM_FLAG";
    case AUDCLNT_E_EVENTHANDLE_NOT_SET:
      return "AUDCLNT_E_EVENTHANDLE_NOT_SET";
    case AUDCLNT_E_RESOURCES_INVALIDATED:
      return "AUDCLNT_E_RESOURCES_INVALIDATED";
    default:
      return nullptr;
  }
}

}  // namespace

CaptureError describeHresult(HRESULT code) {
  if (const char* name = audioClientErrorName(code)) return CaptureError{name};
  return CaptureError{windowsMessage(static_cast<uint32_t>(code))};
}

}  // namespace qztap
