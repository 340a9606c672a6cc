#include "settings.h"

const char* const kSettingValueNames[kSettingValueCount] = {"Monitors", "Start", "HalfRateOnBattery", "Calm", "Tick"};

namespace {

// The value's DWORD if it is one and lies in [low, high].
bool Dword(const RegistryValue& value, uint32_t low, uint32_t high, uint32_t* word)
{
    if (!value.found || value.type != kRegistryDword || value.size != 4)
        return false;
    const uint32_t w = value.bytes[0] | value.bytes[1] << 8 | value.bytes[2] << 16 | uint32_t(value.bytes[3]) << 24;
    if (w < low || w > high)
        return false;
    *word = w;
    return true;
}

uint32_t DwordOr(const RegistryValue& value, uint32_t low, uint32_t high, uint32_t fallback)
{
    uint32_t word = fallback;
    Dword(value, low, high, &word);
    return word;
}

// The finaliser of SplitMix64: every input bit moves every output bit.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

SaverSettings SettingsFromValues(const RegistryValue values[kSettingValueCount], bool animationEffects)
{
    SaverSettings settings = {};
    settings.monitors = MonitorMode(DwordOr(values[kMonitorsValue], 0, 2, uint32_t(MonitorMode::EachOwn)));
    settings.start = StartMode(DwordOr(values[kStartValue], 0, 2, uint32_t(StartMode::WhereStopped)));
    settings.halfRateOnBattery = DwordOr(values[kHalfRateValue], 0, 1, 1) == 1;
    uint32_t calm = 0;
    settings.calmChosen = Dword(values[kCalmValue], 0, 1, &calm);
    settings.calm = settings.calmChosen ? calm == 1 : !animationEffects;
    settings.tick = DwordOr(values[kTickValue], 1, kLastTick, 1);
    return settings;
}

uint32_t SettingWord(const SaverSettings& settings, SettingValue value)
{
    switch (value) {
    case kMonitorsValue:
        return uint32_t(settings.monitors);
    case kStartValue:
        return uint32_t(settings.start);
    case kHalfRateValue:
        return settings.halfRateOnBattery;
    case kCalmValue:
        return settings.calm;
    default:
        return settings.tick;
    }
}

uint32_t StartTick(const SaverSettings& settings, uint64_t seed)
{
    switch (settings.start) {
    case StartMode::WhereStopped:
        return settings.tick >= 1 && settings.tick <= kLastTick ? settings.tick : 1;
    case StartMode::RandomDepth:
        return uint32_t(Mix(seed) % kRandomTicks) + 1;
    default:
        return 1;
    }
}
