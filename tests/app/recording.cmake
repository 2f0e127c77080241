# File > Save's choice of format, without the window (the writing itself is
# tested in tests/recorder).
add_executable(tst_app_recording ${CMAKE_CURRENT_LIST_DIR}/tst_recording.cpp
  ${PROJECT_SOURCE_DIR}/app/recording.cpp ${PROJECT_SOURCE_DIR}/app/recording.h)
target_include_directories(tst_app_recording PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(tst_app_recording PRIVATE neurask_recorder Qt5::Test)
add_test(NAME app_recording COMMAND tst_app_recording)
