# Save of recordings: the EDF+ written from a capture, failures of the disk.
include(${PROJECT_SOURCE_DIR}/app/recording.cmake)

add_executable(test_recording ${CMAKE_CURRENT_LIST_DIR}/test_recording.cpp)
target_link_libraries(test_recording PRIVATE neurask_recording Qt5::Test)
add_test(NAME app_recording COMMAND test_recording)
