# The in-memory WebSocket transport (header-only: fuzz targets include it too).
add_library(testing_websocket INTERFACE)
target_include_directories(testing_websocket INTERFACE ${PROJECT_SOURCE_DIR})
target_link_libraries(testing_websocket INTERFACE zef_core)

# A blocking WebSocket client over real loopback sockets (with the child-process runner), for
# the transport's and the programs' end-to-end tests.
add_library(testing_websocket_client STATIC ${CMAKE_CURRENT_LIST_DIR}/WebSocketTestClient.cpp)
project_target_options(testing_websocket_client)
target_link_libraries(testing_websocket_client PUBLIC testing_http_client testing_program)
# The accept key is checked with the load tool's client codec (OpenSSL), not the server's.
target_link_libraries(testing_websocket_client PUBLIC zef_core PRIVATE wsload_frame)
