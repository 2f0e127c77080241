# Save of recordings without the window: the EDF+ written from a capture and
# how failures of the disk are reported.
include(${PROJECT_SOURCE_DIR}/app/recording.cmake)

add_executable(tst_app_recording ${CMAKE_CURRENT_LIST_DIR}/tst_recording.cpp)
target_link_libraries(tst_app_recording PRIVATE neurask_recording neurask_recordingfile Qt5::Test)
add_test(NAME app_recording COMMAND tst_app_recording)
set_tests_properties(app_recording PROPERTIES TIMEOUT 300)
