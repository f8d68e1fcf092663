// The daily counter keys its numbers on the caller's local day of the year.
#include "platform/text/utf.h"
#include "support/seams.h"
#include "support/process.h"
#include "support/days.h"
#include "support/component.h"

#include <gtest/gtest.h>

#include <ctime>
#include <ostream>

namespace {

// A child process touches nothing of the machine's: registry, folders and
// data sources all lie in the test's folder.
std::map<std::string, std::string> Sandbox(const TempDir& folder)
{
    return {{"PELKOR_REGISTRY_DIR", (folder / "registry").string()},
            {"PELKOR_DATASOURCES_DIR", (folder / "datasources").string()},
            {"HOME", (folder / "home").string()},
            {"XDG_CONFIG_HOME", (folder / "config").string()},
            {"XDG_DATA_HOME", (folder / "data").string()}};
}

struct Zone {
    const char* tz;     // POSIX form: needs no time-zone database, so it can never fall back to UTC
    long offsetSeconds; // east of UTC
};

void PrintTo(const Zone& zone, std::ostream* out) { *out << "TZ=" << zone.tz; }

// Together they are 26 hours apart, so at any moment at least one of them
// is on another calendar day than UTC: a day taken from UTC, or from the
// test's own zone, is wrong in one of them whenever the suite runs.
const Zone kZones[] = {
    {"<+14>-14", 14 * 3600},  // as Pacific/Kiritimati
    {"<-12>+12", -12 * 3600}, // as Etc/GMT+12
};

// The day of the year in the zone, worked out from UTC here and not by the
// component's path (localtime and its SYSTEMTIME conversion).
int DayOfYearIn(const Zone& zone, std::time_t when)
{
    const std::time_t shifted = when + zone.offsetSeconds;
    std::tm broken{};
    gmtime_r(&shifted, &broken);
    return broken.tm_yday + 1;
}

std::string Padded(int day)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03d", day);
    return text;
}

// The counter's state, as the component writes it: day, bar, last number.
void SetState(const TestStore& store, int day, int last)
{
    std::string sql = "UPDATE QM_VALMOR SET OUTPUT = '";
    sql += Padded(day);
    sql += "|";
    sql += std::to_string(last);
    sql += "' WHERE INPUT = 'day'";
    store.Run(sql);
}

class DayCounterOnTheRealClock : public ::testing::TestWithParam<Zone> {
protected:
    ProcessResult Draw(const std::string& name)
    {
        auto environment = Sandbox(m_folder);
        environment["TZ"] = GetParam().tz;
        return RunProcess({VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store.connectionString()),
                           "transDayIdent", name},
                          "", environment);
    }
    std::u16string State(const std::string& name) const
    {
        const auto rows = m_store.Column("SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = '" + name + "'");
        return rows.empty() ? u"<none>" : rows[0];
    }

    TempDir m_folder;
    TestStore m_store;
};

// Fault caught: the day of the year taken in UTC (or gmtime for localtime).
TEST_P(DayCounterOnTheRealClock, StoresAndContinuesTheLocalDay)
{
    const std::time_t before = std::time(nullptr);
    const ProcessResult first = Draw("day");
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "1\n");
    const int earliest = DayOfYearIn(GetParam(), before);
    const int latest = DayOfYearIn(GetParam(), after);
    const std::u16string state = State("day");
    // the local midnight may fall between the two readings
    EXPECT_TRUE(state == valmorin::text::Widen(Padded(earliest)) + u"|1" ||
                state == valmorin::text::Widen(Padded(latest)) + u"|1")
        << valmorin::text::Utf16ToUtf8(state) << " for the local day " << earliest;

    // A state written on the local today goes on; any other day restarts.
    const int today = DayOfYearIn(GetParam(), std::time(nullptr));
    SetState(m_store, today, 41);
    const ProcessResult next = Draw("day");
    if (DayOfYearIn(GetParam(), std::time(nullptr)) == today) {
        EXPECT_EQ(next.out, "42\n") << next.err;
    }

    const int yesterday = today == 1 ? 365 : today - 1;
    SetState(m_store, yesterday, 41);
    const ProcessResult restarted = Draw("day");
    EXPECT_EQ(restarted.out, "1\n") << restarted.err;
}

INSTANTIATE_TEST_SUITE_P(FarFromUtc, DayCounterOnTheRealClock, ::testing::ValuesIn(kZones),
                         [](const ::testing::TestParamInfo<Zone>& info) {
                             return info.param.offsetSeconds > 0 ? std::string("Plus14") : std::string("Minus12");
                         });

// Faults caught: the leap day counted in every year divisible by 4 (1900,
// 2100), not in 2000 or 2400, counted before the end of February, or a
// month table off by one.
TEST(DayCounterAcrossLeapYears, DayOfTheYearFollowsTheGregorianRules)
{
    struct Case {
        WORD year, month, day;
        const char16_t* state;
    };
    const Case cases[] = {
        {2024, 1, 31, u"031|1"},  {2024, 2, 28, u"059|1"},  {2024, 2, 29, u"060|1"},  {2024, 3, 1, u"061|1"},
        {2023, 3, 1, u"060|1"},   {2000, 3, 1, u"061|1"},   {1900, 3, 1, u"060|1"},   {2100, 3, 1, u"060|1"},
        {2023, 12, 31, u"365|1"}, {2024, 12, 31, u"366|1"}, {2400, 12, 31, u"366|1"}, {2100, 12, 31, u"365|1"},
        {2025, 7, 1, u"182|1"},   {2024, 7, 1, u"183|1"},
    };
    TestStore store;
    CComPtr<IValmorin> component = NewComponent(&store);
    int index = 0;
    for (const Case& c : cases) {
        std::string name = "d";
        name += std::to_string(index++);
        FixedLocalTime fixed(Noon(c.year, c.month, c.day));
        BstrResult result;
        ASSERT_EQ(component->transDayIdent(CComBSTR(valmorin::text::Widen(name)).get(), &result), S_OK);
        EXPECT_EQ(store.Column("SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = '" + name + "'"),
                  std::vector<std::u16string>{c.state})
            << c.year << "-" << c.month << "-" << c.day;
    }
}

} // namespace
