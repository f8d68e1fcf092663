#include "service/debug_switch.h"

#include "module/module.h"
#include "qmt/diag/trace.h"
#include "qmt/sys/registry.h"

#include <string>

namespace {

constexpr char16_t kComponentKey[] = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelkor\\Common\\Valmorin";
constexpr char16_t kDebugValue[] = u"Debug";
constexpr char16_t kLogFileName[] = u"Valmorin.log";

std::u16string DebugSwitchValue()
{
    try {
        qmt::CRegistry key(kComponentKey);
        key.Open({});
        std::u16string value = key.ReadValue(kDebugValue);
        key.Close();
        return value;
    } catch (...) {
        // a switch that cannot be read is off; construction goes on
        return {};
    }
}

} // namespace

bool DebugSwitchIsOn()
{
    const std::u16string value = DebugSwitchValue();
    return value == u"y" || value == u"Y";
}

void EnableLogFile() { qmt::Tracer::Current().ConfigureFromRegistry(kLogFileName, valmorin::module::Handle()); }
