// A registry of the test's own: values of the component's key set for the
// objects a test makes, in its process and in the processes it starts.
#pragma once

#include "platform/registry/key_tree.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

// A registry of the test's own while it lives: PELKOR_REGISTRY_DIR names a
// temporary folder, and is put back afterwards.
class OwnRegistry {
public:
    OwnRegistry()
    {
        const char* saved = std::getenv("PELKOR_REGISTRY_DIR");
        if (saved) m_saved = saved;
        setenv("PELKOR_REGISTRY_DIR", m_folder.path().c_str(), 1);
    }
    ~OwnRegistry()
    {
        if (m_saved)
            setenv("PELKOR_REGISTRY_DIR", m_saved->c_str(), 1);
        else
            unsetenv("PELKOR_REGISTRY_DIR");
    }
    OwnRegistry(const OwnRegistry&) = delete;
    OwnRegistry& operator=(const OwnRegistry&) = delete;

    // Objects made from now on read it.
    static void Set(const std::u16string& name, DWORD number)
    {
        const auto* bytes = reinterpret_cast<const BYTE*>(&number);
        Write(name, REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof number));
    }
    static void Set(const std::u16string& name, const std::u16string& text)
    {
        Write(name, REG_SZ, valmorin::registry::StringData(text));
    }

private:
    static void Write(const std::u16string& name, DWORD type, const std::vector<BYTE>& data)
    {
        constexpr char16_t kComponentKey[] = u"SOFTWARE\\Pelkor\\Common\\Valmorin";
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, kComponentKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
        const UniqueHKey owned(key);
        ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())), 0);
    }

    TempDir m_folder;
    std::optional<std::string> m_saved;
};
