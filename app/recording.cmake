# The Save logic as a library of its own (Qt Core and the recording-file
# module, no widgets), so that its tests and benchmark need no window. Included
# from app/CMakeLists.txt, and from the tests when the program is not built.
if(NOT TARGET neurask_recording)
  add_library(neurask_recording STATIC
    ${CMAKE_CURRENT_LIST_DIR}/recording.cpp
    ${CMAKE_CURRENT_LIST_DIR}/recording.h)
  target_include_directories(neurask_recording PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR})
  target_link_libraries(neurask_recording PUBLIC Qt5::Core neurask_edf)
endif()
