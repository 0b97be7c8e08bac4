# The Windows form (a 64-bit DLL, built with MinGW-w64 or any compiler of the
# same runtime): everything the build makes lands in one bin/ folder, so a
# test program finds the DLLs beside it, as an installed application does.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# The compiler's runtime DLLs. An application built with MinGW-w64 does not
# start without them on a Windows machine that has no MinGW, so they are
# copied beside the build's programs and installed beside the binaries.
set(CORVANE_VOICEMOD_RUNTIME_DLLS "")
if(MINGW)
  foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
      message(FATAL_ERROR "The compiler's runtime ${_dll} was not found (${CMAKE_CXX_COMPILER} -print-file-name)")
    endif()
    get_filename_component(_path "${_path}" REALPATH)
    list(APPEND CORVANE_VOICEMOD_RUNTIME_DLLS "${_path}")
  endforeach()
  file(COPY ${CORVANE_VOICEMOD_RUNTIME_DLLS} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endif()

# Under an emulator (wine), the test programs are listed when ctest runs
# rather than after each link: the build itself runs nothing through wine.
if(CMAKE_CROSSCOMPILING)
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
