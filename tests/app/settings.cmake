# The whole window: settings kept between runs, Save and Open from the File menu.
foreach(topic settings save review)
  add_executable(tst_app_${topic} ${CMAKE_CURRENT_LIST_DIR}/tst_${topic}.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/windowfixture.h)
  target_link_libraries(tst_app_${topic} PRIVATE neurask_gui neurask_core Qt5::Test)
  add_test(NAME app_${topic} COMMAND tst_app_${topic})
  set_tests_properties(app_${topic} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endforeach()

# A capture from the simulated headset, saved and read back by MNE-Python.
if(TARGET neurask_sim)
  add_executable(tst_app_savecapture ${CMAKE_CURRENT_LIST_DIR}/tst_savecapture.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/windowfixture.h)
  target_link_libraries(tst_app_savecapture PRIVATE neurask_gui neurask_core neurask_sim Qt5::Test)
  add_test(NAME app_savecapture COMMAND tst_app_savecapture)
  set_tests_properties(app_savecapture PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endif()
