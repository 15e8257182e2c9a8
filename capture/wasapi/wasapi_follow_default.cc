#include "capture/wasapi/wasapi_follow_default.h"

namespace qztap {

FollowStep nextFollowStep(bool recordedLost, std::optional<std::wstring_view> defaultId,
                          std::wstring_view recordedId) {
  if (!defaultId) return afterFailedOpen(recordedLost);
  // A lost device that is still the default is opened again: a format change on the
  // device invalidates the stream without changing the default.
  if (*defaultId == recordedId && !recordedLost) return FollowStep::KeepRecording;
  return FollowStep::OpenDefault;
}

FollowStep afterFailedOpen(bool recordedLost) {
  return recordedLost ? FollowStep::Stop : FollowStep::KeepRecording;
}

}  // namespace qztap
