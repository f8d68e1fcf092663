// The server tests' fixture: a store of the test's kind, the component
// registered in a registry of the test's own, and `valmorin serve` started
// on that store with the test's folders for data, configuration and
// temporary files.
#pragma once

#include "support/process.h"
#include "support/serve_process.h"
#include "support/store.h"
#include "support/temp_dir.h"

#include "platform/text/utf.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Json = nlohmann::json;

// An answer's JSON body; null for none.
inline Json Body(const httplib::Result& result)
{
    if (!result) return Json();
    return result->body.empty() ? Json() : Json::parse(result->body);
}

// An account file made by htpasswd -B, as an administrator makes it.
inline std::string Accounts(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& accounts)
{
    std::vector<Account> made;
    for (const auto& [user, password] : accounts) made.push_back({user, password});
    return WriteAccountFile((dir / "users").string(), made);
}

// Makes the table T (k -> v); the answer's status, -1 for none.
inline int CreateTable(httplib::Client& client)
{
    const auto made = client.Post("/api/tables", R"({"name":"T","columns":[{"name":"k","input":true},{"name":"v"}]})",
                                  "application/json");
    return made ? made->status : -1;
}

class ServeTest : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_STORE(GetParam());
        m_store.emplace(GetParam());
        const ProcessResult registered =
            RunProcess({VALMORIN_CLI, "regsvr", "/s", VALMORIN_LIBRARY}, "", Environment());
        ASSERT_EQ(registered.exitCode, 0) << registered.err;
    }
    std::map<std::string, std::string> Environment() const
    {
        return {{"PELKOR_REGISTRY_DIR", (m_home.path() / "registry").string()},
                {"XDG_DATA_HOME", (m_home.path() / "data").string()},
                {"XDG_CONFIG_HOME", (m_home.path() / "config").string()},
                {"TMPDIR", m_home.path().string()}};
    }
    ServeProcess Serve(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--connection", valmorin::text::Utf16ToUtf8(m_store->connectionString())});
        return ServeProcess(args, Environment());
    }

    TempDir m_home;
    std::optional<TestStore> m_store;
};
