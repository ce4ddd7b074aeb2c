// The one flag value of sendFile and sendFileCompressed that the program
// never passes and so does not name: no progress on standard output.
#pragma once

namespace test_support {

inline constexpr int kNoProgress = 0;

}  // namespace test_support
