# Fakes for the HTTP server framework: an in-memory host that records every wire operation.
add_library(pylon_testing STATIC
    ${CMAKE_CURRENT_LIST_DIR}/PylonTestHost.cpp)
project_target_options(pylon_testing)
target_link_libraries(pylon_testing PUBLIC pylon_framework GTest::gtest)
