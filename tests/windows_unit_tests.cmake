# The unit tests in the Windows build (included from the top-level CMakeLists.txt): the engine in
# process against the in-process virtual devices, built as tovu_unit_tests.exe and run under wine as
# one process by scripts/test-windows.sh (a wine process start costs seconds, so no test per process).
#
# Left to Linux, each for its reason:
#   bus_limits_test          the Unix-socket bus and its descriptors
#   event_concurrency_test   rescues a wait through a pipe's descriptors
#   fault_signal_test        signals sent with kill; Windows has none
#   platform_midi_test       the Linux MIDI services (FIFO input, the ALSA and JACK service names)
#   platform_midi_jack_test  a JACK server
#   settings_store_test      settings as files below TOVU_SETTINGS_DIR; Windows reads the registry
#   smf_mido_test            runs Debian's Python with mido to write and read the files
file(GLOB TOVU_WIN_UNIT_TEST_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
list(FILTER TOVU_WIN_UNIT_TEST_SOURCES EXCLUDE REGEX
  "(unit/(bus_limits|event_concurrency|fault_signal|platform_midi|platform_midi_jack|settings_store|smf_mido)_test|support/jack_server)\\.cpp$")

add_executable(tovu_unit_tests ${TOVU_WIN_UNIT_TEST_SOURCES})
target_include_directories(tovu_unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(tovu_unit_tests PRIVATE tovu_core tovu_client GTest::gtest GTest::gtest_main)
target_compile_definitions(tovu_unit_tests PRIVATE TOVU_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
