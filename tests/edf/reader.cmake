# The reader's tests. edf_raw_file builds files byte by byte (independently of the writer) for
# the tests and for edf_seed_files, which writes the sample files that fuzz/edf/make-corpus
# turns into the fuzzer's seed corpus.
add_library(edf_raw_file STATIC edf_raw_file.cpp edf_raw_file.h)
target_link_libraries(edf_raw_file PUBLIC neurask_edf)

add_executable(edf_seed_files edf_seed_files.cpp)
target_link_libraries(edf_seed_files PRIVATE edf_raw_file)

neurask_edf_test(edf_reader_tests edf_reader_tests.cpp)
target_link_libraries(edf_reader_tests PRIVATE edf_raw_file)

# Against biosig's reader (biosig-tools); skipped at run time when save2gdf is missing.
if(NOT CMAKE_CROSSCOMPILING) # the peer runs on the build machine only
  find_program(NEURASK_SAVE2GDF_PROGRAM save2gdf)
endif()
neurask_edf_test(edf_reader_peer_tests edf_reader_peer_tests.cpp)
target_link_libraries(edf_reader_peer_tests PRIVATE edf_raw_file)
if(NEURASK_SAVE2GDF_PROGRAM)
  target_compile_definitions(edf_reader_peer_tests
                             PRIVATE NEURASK_SAVE2GDF="${NEURASK_SAVE2GDF_PROGRAM}")
else()
  target_compile_definitions(edf_reader_peer_tests PRIVATE NEURASK_SAVE2GDF="")
endif()
