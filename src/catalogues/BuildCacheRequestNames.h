// Names of the build-cache requests, indexed from 0.
#pragma once

#include <array>

namespace vt {

inline constexpr std::array<const char*, 5> BuildCacheRequestNames = {
    "IsTaskCached", "CacheTask", "ReportUncacheableTask", "UpdateBuildState", "Error",
};

}  // namespace vt
