// The behaviour every DirectoryStore shares, as one parameterised suite: each
// store's test file instantiates StoreContract with a backend that makes a
// fresh database of its kind for every case.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "server/store/directory_store.h"
#include "support/test_support.h"

namespace brindle::server::test {

// One fresh database of some kind.
class StoreBackend {
  public:
    virtual ~StoreBackend() = default;
    // A new store object on this database (each call another one).
    virtual std::unique_ptr<DirectoryStore> Open(std::string& error) = 0;
    // Files stored for every user, logged in or not; -1 on failure.
    virtual long long StoredFileCount() = 0;
    // The database's consistency checks: "ok" or what they found.
    virtual std::string CheckIntegrity() = 0;
};

struct StoreKind {
    std::string name;
    // Makes a backend in `folder`; null with `error` set when it cannot.
    std::function<std::unique_ptr<StoreBackend>(const std::filesystem::path& folder,
                                                std::string& error)>
        create;
};

inline void PrintTo(const StoreKind& kind, std::ostream* out) {
    *out << kind.name;
}

class StoreContract : public ::testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override;

    // Registers `user` (password hash "h-" + user) with the named files, each of size 10.
    void Publish(const std::string& user, const std::vector<std::string>& names,
                 const std::string& ip = "10.0.0.1");
    // "user:file" of each hit.
    std::vector<std::string> Names(std::string_view query, std::string_view pattern = "*.*",
                                   std::string_view asker = "nobody", int limit = 100,
                                   bool forceScan = false);

    brindle::test::TempDir dir_;
    std::unique_ptr<StoreBackend> backend_;
    std::unique_ptr<DirectoryStore> store_;
};

std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info);

}  // namespace brindle::server::test
