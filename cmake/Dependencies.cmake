# Every third-party dependency of the project, found once. A missing package stops
# configuration with the Debian package that provides it; nothing is switched off quietly.
include(FindPkgConfig)

macro(pikora_require_pkg prefix module debian_pkg)
  pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  if(NOT ${prefix}_FOUND)
    message(FATAL_ERROR "Missing dependency '${module}'. Install it with: apt-get install ${debian_pkg} "
                        "(or run scripts/install-deps.sh)")
  endif()
endmacro()

find_package(Qt6 6.4 QUIET COMPONENTS Core Gui Widgets Network DBus Multimedia Svg Test)
if(NOT Qt6_FOUND)
  message(FATAL_ERROR "Qt 6 (Core Gui Widgets Network DBus Multimedia Svg Test) not found. Install it with: "
                      "apt-get install qt6-base-dev qt6-multimedia-dev qt6-svg-dev (or run scripts/install-deps.sh)")
endif()
find_package(Qt6 QUIET COMPONENTS LinguistTools)

find_package(nlohmann_json 3.10 QUIET)
if(NOT nlohmann_json_FOUND)
  message(FATAL_ERROR "nlohmann/json not found. Install it with: apt-get install nlohmann-json3-dev")
endif()

pikora_require_pkg(LIBUSB libusb-1.0 libusb-1.0-0-dev)
pikora_require_pkg(LIBAVCODEC libavcodec libavcodec-dev)
pikora_require_pkg(LIBAVUTIL libavutil libavutil-dev)
pikora_require_pkg(LIBSWSCALE libswscale libswscale-dev)
pikora_require_pkg(TURBOJPEG libturbojpeg libturbojpeg0-dev)
# Debian's libyuv-dev ships no pkg-config file: fall back to its header and library.
pkg_check_modules(LIBYUV QUIET IMPORTED_TARGET libyuv)
if(NOT LIBYUV_FOUND)
  find_path(LIBYUV_INCLUDE_DIR libyuv.h)
  find_library(LIBYUV_LIBRARY yuv)
  if(NOT LIBYUV_INCLUDE_DIR OR NOT LIBYUV_LIBRARY)
    message(FATAL_ERROR "Missing dependency 'libyuv'. Install it with: apt-get install libyuv-dev "
                        "(or run scripts/install-deps.sh)")
  endif()
  add_library(PkgConfig::LIBYUV INTERFACE IMPORTED)
  set_target_properties(PkgConfig::LIBYUV PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${LIBYUV_INCLUDE_DIR}" INTERFACE_LINK_LIBRARIES "${LIBYUV_LIBRARY}")
endif()
pikora_require_pkg(XCB xcb libxcb1-dev)
pikora_require_pkg(XCB_SHM xcb-shm libxcb-shm0-dev)
pikora_require_pkg(XCB_RANDR xcb-randr libxcb-randr0-dev)
pikora_require_pkg(XCB_DAMAGE xcb-damage libxcb-damage0-dev)
pikora_require_pkg(XCB_XFIXES xcb-xfixes libxcb-xfixes0-dev)
pikora_require_pkg(XCB_XTEST xcb-xtest libxcb-xtest0-dev)
pikora_require_pkg(LIBPULSE libpulse libpulse-dev)
# Capture in a Wayland session: the ScreenCast portal hands over a PipeWire stream.
pikora_require_pkg(LIBPIPEWIRE libpipewire-0.3 libpipewire-0.3-dev)

if(PIKORA_BUILD_TESTS OR PIKORA_BUILD_BENCH)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest not found. Install it with: apt-get install libgtest-dev libgmock-dev")
  endif()
endif()
if(PIKORA_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(FATAL_ERROR "Google Benchmark not found. Install it with: apt-get install libbenchmark-dev")
  endif()
endif()
