// httpcfg: the program; see HttpCfg.h.
#include "platform/httpcfg/HttpCfg.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> Arguments(argv + 1, argv + argc);
    const int Status = httpcfg::Run(Arguments, std::cout, std::cerr);
    std::cout.flush();
    return Status;
}
