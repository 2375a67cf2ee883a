# The in-memory WebSocket transport (header-only: fuzz targets include it too).
add_library(testing_websocket INTERFACE)
target_include_directories(testing_websocket INTERFACE ${PROJECT_SOURCE_DIR})
target_link_libraries(testing_websocket INTERFACE zef_core)
