#pragma once

namespace tarn {

inline constexpr const char* kVersion = "10863192";
inline constexpr const char* kBuildYear = "2026";

} // namespace tarn
