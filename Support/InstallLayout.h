#pragma once

// Where an installation puts Pikora's programs, relative to its prefix (/usr, /usr/local, or
// any directory given to `cmake --install --prefix`). The login helper finds the application
// from its own location, and the application finds the helper from its own, so the install
// rules (cmake/Install.cmake) and these names must agree.
namespace InstallLayout {
// <prefix>/bin/Pikora
inline constexpr const char* kApplicationDirectory = "bin";
inline constexpr const char* kApplicationName = "Pikora";
// <prefix>/libexec/pikora/PikoraLoginHelper
inline constexpr const char* kHelperParentDirectory = "libexec";
inline constexpr const char* kHelperDirectory = "pikora";
inline constexpr const char* kHelperName = "PikoraLoginHelper";
} // namespace InstallLayout
