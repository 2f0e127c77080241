# Writing a capture as EDF+ needs Qt Core and the recording-file module only,
# so its tests and benchmark build it as a small library of its own, without
# the window.
if(NOT TARGET neurask_recording)
  add_library(neurask_recording STATIC
    ${CMAKE_CURRENT_LIST_DIR}/recording.cpp
    ${CMAKE_CURRENT_LIST_DIR}/recording.h)
  target_include_directories(neurask_recording PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(neurask_recording PUBLIC Qt5::Core neurask_edf neurask_capture
    neurask_recorder)
endif()

# The window's Save writes through the module too, and records through the
# engine.
if(TARGET neurask_gui)
  target_link_libraries(neurask_gui PUBLIC neurask_edf neurask_recorder)
endif()
