# What `cmake --install` puts where, relative to the prefix (/usr for the Debian package):
#
#   bin/Pikora                                the application
#   libexec/pikora/PikoraLoginHelper          the login helper; it finds ../../bin/Pikora from here
#   lib/pikora/libQuorbelOSXUtility.so,       the application's own shared libraries (private,
#   lib/pikora/libHearline.so                 found through the application's run path)
#   share/applications/com.tamsic.Pikora.desktop
#   share/icons/hicolor/scalable/apps/com.tamsic.Pikora.svg
#   lib/udev/rules.d/70-pikora-accessory.rules  seat-user access to the USB button
#
# The program locations must agree with Support/InstallLayout.h. No system-wide autostart
# entry is installed: Pikora registers its login helper for each user who runs it.

set(PIKORA_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the USB access rule is installed, relative to the install prefix")
set(PIKORA_PRIVATE_LIBDIR "lib/pikora")
set(_desktop ${PROJECT_SOURCE_DIR}/Pikora/Resources/desktop)

# The udev rule names exactly the accessory's two modes: the raw-mode ids from the device
# description compiled into QuorbelOSXUtility, the network-mode ids of the accessory link
# (LauncherConnector::kVendorId/kProductId; a test compares them).
set(PIKORA_CHIP_MODEL PikoraAccessory)
set(_description ${PROJECT_SOURCE_DIR}/QuorbelOSXUtility/Resources/${PIKORA_CHIP_MODEL}.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_description})
file(READ ${_description} _description_json)
function(pikora_usb_id out key)
  string(JSON _value ERROR_VARIABLE _error GET "${_description_json}" ${key})
  if(_error OR NOT _value MATCHES "^(0[xX])?[0-9a-fA-F]+$")
    message(FATAL_ERROR "${_description}: ${key} is not a hexadecimal USB id (${_error})")
  endif()
  string(REGEX REPLACE "^0[xX]" "" _value "${_value}")
  string(TOLOWER "${_value}" _value)
  string(LENGTH "${_value}" _length)
  if(_length GREATER 4)
    message(FATAL_ERROR "${_description}: ${key} is beyond 16 bits")
  endif()
  while(_length LESS 4)
    string(PREPEND _value "0")
    math(EXPR _length "${_length} + 1")
  endwhile()
  set(${out} ${_value} PARENT_SCOPE)
endfunction()
pikora_usb_id(PIKORA_RAW_VID MASS_STORAGE_VID)
pikora_usb_id(PIKORA_RAW_PID MASS_STORAGE_PID)
set(PIKORA_NETWORK_VID 0525)
set(PIKORA_NETWORK_PID a4a2)
set(PIKORA_UDEV_RULE ${PROJECT_BINARY_DIR}/packaging/70-pikora-accessory.rules)
configure_file(${_desktop}/70-pikora-accessory.rules.in ${PIKORA_UDEV_RULE} @ONLY)

install(TARGETS Pikora RUNTIME DESTINATION bin)
install(TARGETS PikoraLoginHelper RUNTIME DESTINATION libexec/pikora)
install(TARGETS QuorbelOSXUtility Hearline LIBRARY DESTINATION ${PIKORA_PRIVATE_LIBDIR} NAMELINK_SKIP)
set_target_properties(Pikora PROPERTIES INSTALL_RPATH "$ORIGIN/../${PIKORA_PRIVATE_LIBDIR}")
install(FILES ${_desktop}/com.tamsic.Pikora.desktop DESTINATION share/applications)
install(FILES ${_desktop}/com.tamsic.Pikora.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PIKORA_UDEV_RULE} DESTINATION ${PIKORA_UDEV_RULES_DIR})
