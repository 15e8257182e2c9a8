#pragma once

#include <optional>
#include <string_view>

namespace qztap {

// What the Windows capture does when the default output changes or the device it
// records goes away: it follows the default like the Linux backend, and stops only
// when there is nothing left to record.
enum class FollowStep {
  KeepRecording,  // the recorded device is still the one to record
  OpenDefault,    // record the default device from now on
  Stop,           // nothing to record: the capture has stopped
};

// `recordedLost`: the recorded device can no longer be read. `defaultId`: the current
// default output's identifier, none when there is no default. `recordedId`: the
// identifier of the device being recorded.
FollowStep nextFollowStep(bool recordedLost, std::optional<std::wstring_view> defaultId,
                          std::wstring_view recordedId);

// What follows a failed attempt to open the default: the old device if it still works.
FollowStep afterFailedOpen(bool recordedLost);

}  // namespace qztap
