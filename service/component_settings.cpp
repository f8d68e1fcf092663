#include "service/component_settings.h"

#include "qmt/sys/registry.h"

DWORD ComponentNumber(const char16_t* name, DWORD absent)
{
    for (const char16_t* key : {u"HKEY_CURRENT_USER\\SOFTWARE\\Pelkor\\Common\\Valmorin",
                                u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin"}) {
        try {
            qmt::CRegistry registry(key);
            registry.Open({});
            const DWORD value = registry.ReadSubKey(name);
            registry.Close();
            return value;
        } catch (...) {
            // absent here: the next key, or the default
        }
    }
    return absent;
}
