#include "capture/wasapi/wasapi_follow_default.h"

#include <gtest/gtest.h>

namespace qztap {
namespace {

TEST(FollowDefault, MovesToTheDefaultAndStopsOnlyWithNothingToRecord) {
  struct Case {
    bool lost;
    std::optional<std::wstring_view> defaultId;
    FollowStep step;
    FollowStep afterFailure;
  };
  const Case cases[] = {
      {false, L"recorded", FollowStep::KeepRecording, FollowStep::KeepRecording},
      {false, L"other", FollowStep::OpenDefault, FollowStep::KeepRecording},
      {false, std::nullopt, FollowStep::KeepRecording, FollowStep::KeepRecording},
      {true, L"recorded", FollowStep::OpenDefault, FollowStep::Stop},
      {true, L"other", FollowStep::OpenDefault, FollowStep::Stop},
      {true, std::nullopt, FollowStep::Stop, FollowStep::Stop},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nextFollowStep(c.lost, c.defaultId, L"recorded"), c.step);
    EXPECT_EQ(afterFailedOpen(c.lost), c.afterFailure);
  }
}

}  // namespace
}  // namespace qztap
