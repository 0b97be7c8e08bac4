# Install rules, the CMake package, pkg-config and the Debian package.
include(CMakePackageConfigHelpers)

set(CORVANE_VOICEMOD_DATADIR "${CMAKE_INSTALL_DATADIR}/corvane-voicemod")
set(CORVANE_VOICEMOD_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/CorvaneVoicemod")

# Every rule names its component, which is also its Debian package
# (see the end of this file): runtime (the shared libraries), dev (headers,
# link names, CMake and pkg-config files), voices (the bundled voices and the
# sample) and tool (corvane-voicemod, tools/CMakeLists.txt).
install(TARGETS CorvaneVoicemod EXPORT CorvaneVoicemodTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/corvane/voicemod/Version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/corvane/voicemod COMPONENT dev)

if(CORVANE_VOICEMOD_USE_BUNDLED_SDKS)
  install(TARGETS CorvaneSDK VoicemodUSDK EXPORT CorvaneVoicemodTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  # The host layer's headers are under corvane/ already; the engine's three
  # go into a folder of their own rather than loose in the include folder.
  install(DIRECTORY sdk/corvane/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
  install(DIRECTORY sdk/voicemod/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/voicemod-usdk COMPONENT dev
    FILES_MATCHING PATTERN "*.h")
  install(DIRECTORY voices/ DESTINATION ${CORVANE_VOICEMOD_DATADIR}/voices COMPONENT voices
    FILES_MATCHING PATTERN "*.zvmd")
  if(EXISTS ${PROJECT_SOURCE_DIR}/samples)
    install(DIRECTORY samples/ DESTINATION ${CORVANE_VOICEMOD_DATADIR}/samples COMPONENT voices
      FILES_MATCHING PATTERN "*.wav" PATTERN "*.md")
  endif()
endif()

# An application built with MinGW-w64 needs the compiler's runtime DLLs
# beside it on a machine without MinGW (see cmake/Windows.cmake).
if(CORVANE_VOICEMOD_RUNTIME_DLLS)
  install(FILES ${CORVANE_VOICEMOD_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(EXPORT CorvaneVoicemodTargets NAMESPACE CorvaneVoicemod:: DESTINATION ${CORVANE_VOICEMOD_CMAKEDIR}
  COMPONENT dev)
if(TARGET corvane-voicemod)
  install(EXPORT CorvaneVoicemodToolTargets NAMESPACE CorvaneVoicemod:: DESTINATION ${CORVANE_VOICEMOD_CMAKEDIR}
    COMPONENT tool)
endif()
configure_package_config_file(cmake/CorvaneVoicemodConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/CorvaneVoicemodConfig.cmake
  INSTALL_DESTINATION ${CORVANE_VOICEMOD_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CORVANE_VOICEMOD_DATADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/CorvaneVoicemodConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/CorvaneVoicemodConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/CorvaneVoicemodConfigVersion.cmake
        DESTINATION ${CORVANE_VOICEMOD_CMAKEDIR} COMPONENT dev)

# pkg-config: paths relative to the .pc file, so the install can move.
file(RELATIVE_PATH CORVANE_VOICEMOD_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(cmake/corvane-voicemod.pc.in ${CMAKE_CURRENT_BINARY_DIR}/corvane-voicemod.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/corvane-voicemod.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# --- Packages ---------------------------------------------------------------
set(CPACK_PACKAGE_NAME "corvane-voicemod")
set(CPACK_PACKAGE_VENDOR "CorvaneVoicemod")
set(CPACK_PACKAGE_CONTACT "CorvaneVoicemod developers <dev@corvane-voicemod.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  # A ZIP holding bin/ (DLLs, runtime DLLs, the tool), lib/ (import
  # libraries, CMake and pkg-config files), include/ and share/.
  set(CPACK_GENERATOR "ZIP")
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
  set(CPACK_GENERATOR "DEB;TGZ")
  include(${CMAKE_CURRENT_LIST_DIR}/Debian.cmake)
endif()
include(CPack)
