# The speech-quality measures (STOI, tail ringing and decay, made-up
# onsets) and the reference signals they are checked on, shared by the
# quality programs in bench/quality and their tests.
# Bench code: FFTW for spectra, libsamplerate for resampling.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
pkg_check_modules(CORVANE_FFTW REQUIRED IMPORTED_TARGET fftw3)          # Debian: libfftw3-dev
pkg_check_modules(CORVANE_SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)  # Debian: libsamplerate0-dev
add_library(corvane_quality_measures STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Stoi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TailMeasure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Onsets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ReferenceSignals.cpp)
target_include_directories(corvane_quality_measures PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(corvane_quality_measures PRIVATE PkgConfig::CORVANE_FFTW PkgConfig::CORVANE_SAMPLERATE)
