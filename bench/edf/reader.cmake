# Read throughput against MNE-Python, and the time to refuse a hostile header.
add_executable(edf_read_bench edf_read_bench.cpp)
target_link_libraries(edf_read_bench PRIVATE neurask_edf)
