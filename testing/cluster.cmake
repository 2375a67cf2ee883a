# A real redis-server per test (and a synchronous client for the test's checks), for the cluster's
# tests and benchmark.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis)
add_library(testing_redis STATIC ${CMAKE_CURRENT_LIST_DIR}/RedisTestServer.cpp)
project_target_options(testing_redis)
target_link_libraries(testing_redis PUBLIC testing_websocket_client PRIVATE PkgConfig::HIREDIS)
