#pragma once

inline constexpr const char* kAppName = "Kelvano Assistant";
inline constexpr const char* kAppVersion = "0.7.0.25167";
inline constexpr const char* kOrganisation = "PELKA";
