#pragma once
// A configuration store on a real SQLite file in a temporary folder, or in `folder` when one is
// given (a file system a test mounted).

#include <memory>
#include <stdexcept>
#include <string>

#include "core/config_store.h"
#include "platform/hive.h"
#include "tests/support/test_env.h"

namespace orvana::test {

struct TempStore {
    TempDir dir;
    std::string folder;
    std::unique_ptr<platform::Hive> hive;
    std::unique_ptr<ConfigStore> store;

    explicit TempStore(const std::string& file = "orvanasrv.db", const std::string& in = "")
        : folder(in.empty() ? dir.path() : in) {
        std::string error;
        hive = platform::Hive::Open(folder + "/" + file, &error);
        if (!hive) throw std::runtime_error(error);
        store = std::make_unique<ConfigStore>(*hive);
    }
};

}  // namespace orvana::test
