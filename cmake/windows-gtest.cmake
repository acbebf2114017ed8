# GoogleTest for the Windows builds: compiled with the cross compiler from Debian's googletest sources
# (the same version the Linux build links), built only when a test program needs it. Its own build
# names the targets GTest::gtest and GTest::gtest_main, as find_package(GTest) does on Linux.
set(TOVU_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, built for Windows")
if(NOT EXISTS ${TOVU_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found at ${TOVU_GTEST_SOURCE_DIR} (Debian's googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TOVU_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
