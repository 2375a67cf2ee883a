# The programs of the three consumer projects (httpapi-c, component-echo, hello-module) built
# from the same sources against the in-tree libraries, so that every flavour builds and tests
# them; packaging/ builds the projects themselves against the installed files.
if(BUILD_FUZZERS)
    return()
endif()

# The C servers, as C11 with the warnings C programs for the Windows API meet.
foreach(Server IN ITEMS sync_server iocp_server)
    add_executable(${Server} ${CMAKE_CURRENT_LIST_DIR}/httpapi-c/${Server}.c)
    set_target_properties(${Server} PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                                               C_EXTENSIONS OFF)
    target_compile_options(${Server} PRIVATE -Wall -Wextra -Werror
                                             -Werror=implicit-function-declaration
                                             -Werror=incompatible-pointer-types)
    target_link_libraries(${Server} PRIVATE httpapi platform_win)
endforeach()

add_executable(component_echo ${CMAKE_CURRENT_LIST_DIR}/component-echo/component_echo.cpp)
project_target_options(component_echo)
target_link_libraries(component_echo PRIVATE zef_httpapi)
add_dependencies(component_echo httpapi)

add_executable(hello_module ${CMAKE_CURRENT_LIST_DIR}/hello-module/hello_module.cpp)
project_target_options(hello_module)
target_link_libraries(hello_module PRIVATE pylon_httpsys)
add_dependencies(hello_module httpapi)

# They answer real clients (curl, python3-websockets) on free ports.
if(PROJECT_TESTS)
    add_test(NAME examples.consumers
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/consumers_test.py
                     --bin $<TARGET_FILE_DIR:sync_server>)
    set_tests_properties(
        examples.consumers
        PROPERTIES TIMEOUT 300 ENVIRONMENT
                   "PYTHONDONTWRITEBYTECODE=1;HTTPAPI_SERVICECONFIG=${CMAKE_BINARY_DIR}/Testing/serviceconfig")
endif()
