// A registry of the test's own: PELKOR_REGISTRY_DIR names a temporary
// folder for the test's duration, and helpers write and read keys through
// the registry's functions.
#pragma once

#include "platform/registry/key_tree.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

class RegistrySandbox : public ::testing::Test {
protected:
    void SetUp() override { setenv("PELKOR_REGISTRY_DIR", m_folder.path().c_str(), 1); }
    void TearDown() override { unsetenv("PELKOR_REGISTRY_DIR"); }

    std::filesystem::path Hive(const std::string& root) const { return m_folder / (root + ".reg"); }

    static UniqueHKey Create(HKEY root, const std::u16string& path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        return UniqueHKey(key);
    }
    static void SetText(HKEY root, const std::u16string& path, const std::u16string& name, const std::u16string& text)
    {
        const std::vector<BYTE> data = valmorin::registry::StringData(text);
        ASSERT_EQ(RegSetValueExW(Create(root, path).get(), name.c_str(), 0, REG_SZ, data.data(),
                                 static_cast<DWORD>(data.size())),
                  0);
    }
    static void SetDword(HKEY root, const std::u16string& path, const std::u16string& name, DWORD number)
    {
        ASSERT_EQ(
            RegSetValueExW(Create(root, path).get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
            0);
    }
    static std::u16string Text(HKEY root, const std::u16string& path, const std::u16string& name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyW(root, path.c_str(), &key) != 0) return u"<no key>";
        const UniqueHKey owned(key);
        BYTE data[1024];
        DWORD size = sizeof data;
        if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, data, &size) != 0) return u"<no value>";
        const std::u16string text = valmorin::registry::DataText({data, data + size});
        return text.substr(0, text.find(u'\0'));
    }
    static std::vector<std::u16string> Subkeys(HKEY key)
    {
        std::vector<std::u16string> names;
        WCHAR name[256];
        for (DWORD index = 0; RegEnumKeyW(key, index, name, 256) == 0; ++index) names.emplace_back(name);
        return names;
    }

    TempDir m_folder;
};
