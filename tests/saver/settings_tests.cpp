// The saver's settings as read from the registry's raw values: whatever a
// value holds, the saver gets a setting it can run with.
#include "settings.h"

#include "animation.h"

#include <doctest/doctest.h>

#include <set>
#include <string>

namespace {

constexpr uint32_t kRegistryString = 1, kRegistryBinary = 3, kRegistryQword = 11;

RegistryValue Word(uint32_t word, uint32_t type = kRegistryDword, uint32_t size = 4)
{
    return {true, type, size,
            {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)}};
}

struct Values {
    RegistryValue values[kSettingValueCount] = {};
    SaverSettings Read(bool animationEffects = true) const { return SettingsFromValues(values, animationEffects); }
};

void CheckDefaults(const SaverSettings& s)
{
    CHECK(s.monitors == MonitorMode::EachOwn);
    CHECK(s.start == StartMode::WhereStopped);
    CHECK(s.halfRateOnBattery);
    CHECK_FALSE(s.calmChosen);
    CHECK(s.tick == 1);
}

}  // namespace

TEST_CASE("without values every setting takes its default, and calm follows Windows' animation setting")
{
    const Values none;
    CheckDefaults(none.Read(true));
    CHECK_FALSE(none.Read(true).calm);
    CHECK(none.Read(false).calm);
    CHECK(kSettingValueNames[kMonitorsValue] == std::string("Monitors"));
    CHECK(kSettingValueNames[kTickValue] == std::string("Tick"));
}

TEST_CASE("stored values are taken, and what the saver stores reads back the same")
{
    Values stored;
    stored.values[kMonitorsValue] = Word(2);
    stored.values[kStartValue] = Word(1);
    stored.values[kHalfRateValue] = Word(0);
    stored.values[kCalmValue] = Word(0);
    stored.values[kTickValue] = Word(kLastTick);
    const SaverSettings s = stored.Read(false);
    CHECK(s.monitors == MonitorMode::PrimaryOnly);
    CHECK(s.start == StartMode::Beginning);
    CHECK_FALSE(s.halfRateOnBattery);
    CHECK(s.calmChosen);
    CHECK_FALSE(s.calm);  // chosen off, although Windows' animations are off
    CHECK(s.tick == kLastTick);

    for (const SaverSettings chosen : {SaverSettings{MonitorMode::Span, StartMode::RandomDepth, true, true, true, 77},
                                       SaverSettings{MonitorMode::EachOwn, StartMode::WhereStopped, false, false,
                                                     true, 123456}}) {
        Values again;
        for (int v = 0; v < kSettingValueCount; ++v)
            again.values[v] = Word(SettingWord(chosen, SettingValue(v)));
        const SaverSettings read = again.Read();
        CHECK(read.monitors == chosen.monitors);
        CHECK(read.start == chosen.start);
        CHECK(read.halfRateOnBattery == chosen.halfRateOnBattery);
        CHECK(read.calm == chosen.calm);
        CHECK(read.tick == chosen.tick);
    }
}

TEST_CASE("a value of another type or size, or out of range, gives that setting's default alone")
{
    struct Bad {
        const char* what;
        RegistryValue value;
    };
    const Bad bad[] = {
        {"a string", Word('1', kRegistryString, 4)},
        {"binary", Word(1, kRegistryBinary)},
        {"a QWORD", Word(1, kRegistryQword, 8)},
        {"a DWORD of 2 bytes", Word(1, kRegistryDword, 2)},
        {"a DWORD of 8 bytes", Word(1, kRegistryDword, 8)},
        {"empty", Word(0, kRegistryDword, 0)},
        {"far out of range", Word(0xFFFFFFFFu)},
    };
    for (const Bad& b : bad) {
        CAPTURE(b.what);
        for (int v = 0; v < kSettingValueCount; ++v) {
            CAPTURE(kSettingValueNames[v]);
            // Every other value holds a good choice that is not its default.
            Values values;
            values.values[kMonitorsValue] = Word(1);
            values.values[kStartValue] = Word(2);
            values.values[kHalfRateValue] = Word(0);
            values.values[kCalmValue] = Word(1);
            values.values[kTickValue] = Word(500);
            values.values[v] = b.value;
            const SaverSettings s = values.Read(true);
            CHECK(s.monitors == (v == kMonitorsValue ? MonitorMode::EachOwn : MonitorMode::Span));
            CHECK(s.start == (v == kStartValue ? StartMode::WhereStopped : StartMode::RandomDepth));
            CHECK(s.halfRateOnBattery == (v == kHalfRateValue));
            CHECK(s.calmChosen == (v != kCalmValue));
            CHECK(s.calm == (v != kCalmValue));  // animations on: not calm by default
            CHECK(s.tick == (v == kTickValue ? 1u : 500u));
        }
    }
}

TEST_CASE("values just out of range give the defaults")
{
    {
        Values values;
        values.values[kMonitorsValue] = Word(3);
        values.values[kStartValue] = Word(3);
        values.values[kHalfRateValue] = Word(2);
        values.values[kCalmValue] = Word(2);
        values.values[kTickValue] = Word(kLastTick + 1);
        CheckDefaults(values.Read());
        values.values[kTickValue] = Word(0);
        CHECK(values.Read().tick == 1);
    }
}

TEST_CASE("the last tick renders the last view that differs: the zoom starts again after it")
{
    const ViewState last = ViewAfterTicks(kFirstView, kLastTick - 1, nullptr, 1, 1);
    CHECK(SameView(ViewAfterTicks(last, 1, nullptr, 1, 1), last));
    CHECK_FALSE(SameView(ViewAfterTicks(kFirstView, kLastTick - 2, nullptr, 1, 1), last));
}

TEST_CASE("the start tick: where the last run stopped, the first, or drawn at random from the first million")
{
    SaverSettings s = {};
    s.tick = 4321;
    s.start = StartMode::WhereStopped;
    CHECK(StartTick(s, 99) == 4321);
    s.start = StartMode::Beginning;
    CHECK(StartTick(s, 99) == 1);
    // A record made otherwise than from stored values (zeroed, say) starts at the first tick.
    for (const uint32_t tick : {0u, kLastTick + 1, 0xFFFFFFFFu, kLastTick}) {
        const SaverSettings made = {MonitorMode::EachOwn, StartMode::WhereStopped, true, false, false, tick};
        CHECK(StartTick(made, 99) == (tick == kLastTick ? kLastTick : 1));
    }

    // A clock's readings a tick apart still land all over the range.
    s.start = StartMode::RandomDepth;
    std::set<uint32_t> drawn;
    int low = 0;
    for (uint64_t seed = 1000000000; seed < 1000000000 + 1000; ++seed) {
        const uint32_t tick = StartTick(s, seed);
        REQUIRE(tick >= 1);
        REQUIRE(tick <= kRandomTicks);
        drawn.insert(tick);
        low += tick <= kRandomTicks / 2;
    }
    CHECK(drawn.size() > 990);
    CHECK(low > 400);
    CHECK(low < 600);
}
