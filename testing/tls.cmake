# A throw-away server certificate in a temporary store and a command runner, for the https
# tests of the platform library, the host and the WebSocket transport.
add_library(testing_certificate STATIC ${CMAKE_CURRENT_LIST_DIR}/TestCertificate.cpp)
project_target_options(testing_certificate)
