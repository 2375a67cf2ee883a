// halden: the HTTP hello server; serves until a line (or the end) of standard input.
#include "halden/HelloWorldModule.h"
#include "http/httpsys/Pylon.HttpSys.Server.h"
#include "platform/rtl/Exception.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

namespace {

int Run() {
    auto Server = std::make_unique<pylon::THttpSysServer>();
    Server->AddModule(std::make_unique<pylon::THelloWorldModule>(pylon::HelloBaseUrl));
    Server->Start();
    std::cout << "halden started at " << pylon::HelloBaseUrl << "\n"
              << "Press Enter to stop" << std::endl;
    std::string Line;
    std::getline(std::cin, Line);
    Server.reset();
    return 0;
}

} // namespace

int main() {
    // A failed start leaves the console lines unwritten; the server is released on the way out.
    try {
        return Run();
    } catch (const rtl::Exception& E) {
        std::cerr << E.ClassName() << ": " << E.what() << std::endl;
    } catch (const std::exception& E) {
        std::cerr << "Exception: " << E.what() << std::endl;
    }
    return 1;
}
