# romlift_test_basics: scratch folders, descriptor counts and seeded images for the tests, the fuzz
# replays and the benchmarks. It links neither GoogleTest, Qt nor the engine, so a fuzz target
# with a fake serial port can use it. Included from each of those folders; defined once.
include_guard(GLOBAL)
add_library(romlift_test_basics STATIC ${CMAKE_CURRENT_LIST_DIR}/scratch_dir.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seeded_image.cpp)
target_include_directories(romlift_test_basics PUBLIC ${CMAKE_CURRENT_LIST_DIR})
