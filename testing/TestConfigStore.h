// TestConfigStore: a private service-configuration store for a test: a fresh temporary folder
// named by HTTPAPI_SERVICECONFIG while the object lives (the variable's earlier value comes
// back after), removed with everything in it at the end. Create it before the library's
// threads start and let it go after they stop: the variable is read on every access.
#pragma once

#include "platform/httpapi/ConfigStore.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace httpapi::testing {

class TTestConfigStore {
public:
    TTestConfigStore() {
        std::string Template =
            (std::filesystem::temp_directory_path() / "httpapi-serviceconfig-XXXXXX").string();
        if (mkdtemp(Template.data()) != nullptr) {
            FFolder = Template;
        }
        if (const char* Previous = std::getenv(ConfigStoreVariable)) {
            FPrevious = Previous;
        }
        setenv(ConfigStoreVariable, FFolder.c_str(), 1);
    }
    ~TTestConfigStore() {
        if (FPrevious) {
            setenv(ConfigStoreVariable, FPrevious->c_str(), 1);
        } else {
            unsetenv(ConfigStoreVariable);
        }
        std::error_code Ignored;
        std::filesystem::remove_all(FFolder, Ignored);
    }
    TTestConfigStore(const TTestConfigStore&) = delete;
    TTestConfigStore& operator=(const TTestConfigStore&) = delete;

    const std::string& Folder() const { return FFolder; }
    std::string RecordsFile() const { return FFolder + "/records"; }

private:
    std::string FFolder;
    std::optional<std::string> FPrevious;
};

} // namespace httpapi::testing
