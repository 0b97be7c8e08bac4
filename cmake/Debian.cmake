# Debian.cmake - the Debian packages, split as Debian splits a library:
#   libcorvanevoicemod<major>  the shared libraries (the library and the
#                              bundled SDK layers), in the multiarch folder
#   libcorvanevoicemod-dev     headers, link names, CMake and pkg-config files
#   corvane-voicemod-voices    the bundled voices and the speech sample
#   corvane-voicemod           the command-line tool, with its own
#                              dependencies (libsndfile, PortAudio)
# each with its copyright file and Debian changelog. Included from
# cmake/Install.cmake before CPack; tests/packaging/debian_package.sh builds
# them, runs lintian on each and builds the README's program against them.
set(CORVANE_VOICEMOD_DEB_RELEASE 1)
set(CORVANE_VOICEMOD_DEB_VERSION "${PROJECT_VERSION}-${CORVANE_VOICEMOD_DEB_RELEASE}")
set(_runtime_package "libcorvanevoicemod${PROJECT_VERSION_MAJOR}")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev voices)
if(TARGET corvane-voicemod)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CORVANE_VOICEMOD_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE "corvane-voicemod")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Depends worked out from the binaries; the shlibs file says which package
# and version satisfy a program linked against the runtime libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The tool's package is made apart from the libraries': dpkg-shlibdeps finds
# them in the build tree, and the dependency on their package is stated.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  "${PROJECT_BINARY_DIR};${PROJECT_BINARY_DIR}/sdk/corvane;${PROJECT_BINARY_DIR}/sdk/voicemod")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "${_runtime_package}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "real-time voice changer for the Corvane audio-graph host
CorvaneVoicemod adds a real-time voice changer to applications built on the
Corvane audio-graph host: a graph node that runs mono or stereo float blocks
through a voice changer in place, with controls for the voice, bypass, mute,
offline mode, background sounds and named parameters.

This package holds the shared libraries: the extension and the bundled host
SDK layer and voice engine it runs on.")
# ldconfig runs through its trigger; CPack's own scripts would call it
# directly, so they are replaced by ones that leave it to the trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_LIST_DIR}/debian/triggers;${PROJECT_BINARY_DIR}/debian/postinst;${PROJECT_BINARY_DIR}/debian/postrm")
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
foreach(_script postinst postrm)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/${_script}
    "#!/bin/sh\n# The shared libraries are registered by the ldconfig trigger.\nset -e\nexit 0\n")
  file(CHMOD ${PROJECT_BINARY_DIR}/debian/${_script} FILE_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME "libcorvanevoicemod-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_runtime_package} (= ${CORVANE_VOICEMOD_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "corvane-voicemod-voices, pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION "real-time voice changer for Corvane (development files)
CorvaneVoicemod adds a real-time voice changer to applications built on the
Corvane audio-graph host.

This package holds what building an application needs: the headers
(corvane/voicemod/, the host layer's corvane/ and the engine's
voicemod-usdk/), the link names, the CMake package
(find_package(CorvaneVoicemod)) and the pkg-config file corvane-voicemod.")

set(CPACK_DEBIAN_VOICES_PACKAGE_NAME "corvane-voicemod-voices")
set(CPACK_DEBIAN_VOICES_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_VOICES_PACKAGE_ARCHITECTURE "all")
set(CPACK_DEBIAN_VOICES_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_VOICES_DESCRIPTION "voices for the CorvaneVoicemod voice changer
The voice packages (.zvmd) bundled with CorvaneVoicemod: 16 voices in four
packages (characters, people, spaces, devices), and a speech sample to try
them on. Their folder is the pkg-config variable voicesdir and the CMake
variable CorvaneVoicemod_VOICES_DIR.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME "corvane-voicemod")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
  "${_runtime_package} (= ${CORVANE_VOICEMOD_DEB_VERSION}), corvane-voicemod-voices (= ${CORVANE_VOICEMOD_DEB_VERSION})")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line voice changer for the Corvane host
corvane-voicemod drives the CorvaneVoicemod library as an application does:
it lists the voices, renders sound files through a voice, renders a demo of
every voice, and runs a voice live from a sound device to another.")

# Each package's copyright file and Debian changelog (compressed without a
# time stamp, as Debian wants them). They are installed only into the
# packages, not by a plain cmake --install.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP CORVANE_VOICEMOD_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
else()
  string(TIMESTAMP CORVANE_VOICEMOD_DEB_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.Debian.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
find_program(CORVANE_VOICEMOD_GZIP gzip)
if(CORVANE_VOICEMOD_GZIP)
  execute_process(COMMAND ${CORVANE_VOICEMOD_GZIP} -9nf ${PROJECT_BINARY_DIR}/debian/changelog.Debian
                  RESULT_VARIABLE _gzip_result)
  if(NOT _gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the Debian changelog")
  endif()
  foreach(_component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${_component} _upper)
    set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
      DESTINATION ${_doc} COMPONENT ${_component} EXCLUDE_FROM_ALL)
  endforeach()
endif()
