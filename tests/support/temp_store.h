#pragma once
// A configuration store on a real SQLite file in a temporary folder.

#include <memory>
#include <stdexcept>
#include <string>

#include "core/config_store.h"
#include "platform/hive.h"
#include "tests/support/test_env.h"

namespace orvana::test {

struct TempStore {
    TempDir dir;
    std::unique_ptr<platform::Hive> hive;
    std::unique_ptr<ConfigStore> store;

    explicit TempStore(const std::string& file = "orvanasrv.db") {
        std::string error;
        hive = platform::Hive::Open(dir.File(file), &error);
        if (!hive) throw std::runtime_error(error);
        store = std::make_unique<ConfigStore>(*hive);
    }
};

}  // namespace orvana::test
