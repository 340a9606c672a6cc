// The screen saver's settings: what a person chooses in its dialog, kept as
// one REG_DWORD value each under HKCU\Software\Mandelbrot Set\Screen Saver,
// and the tick where the last run stopped. Platform-free: the values come in
// as the registry returned them (type, size, bytes), and whatever is missing,
// of another type or size, or out of range gives that setting's default, so
// that no value can stop the saver. The registry calls are the Windows side's.
#pragma once
#include <cstdint>

enum class MonitorMode : uint32_t {
    EachOwn,      // each monitor its own zoom, at its own size
    Span,         // one zoom across all monitors: one frame of the virtual screen
    PrimaryOnly,  // the primary monitor alone; the others black
};

enum class StartMode : uint32_t {
    WhereStopped,  // the tick the last run would have rendered next
    Beginning,     // the first view, every run
    RandomDepth,   // a tick drawn at random from the first kRandomTicks
};

struct SaverSettings {
    MonitorMode monitors;
    StartMode start;
    bool halfRateOnBattery;  // on battery or battery saver, every second tick is rendered
    bool calm;               // 5 frames a second, each the next tick
    bool calmChosen;         // Calm is stored; otherwise it follows Windows' animation setting
    uint32_t tick;           // where the last run stopped: the next tick to render, 1 to kLastTick
};

// The key, under HKEY_CURRENT_USER, and its values, in SettingValue's order.
constexpr char kSettingsKey[] = "Software\\Mandelbrot Set\\Screen Saver";
enum SettingValue { kMonitorsValue, kStartValue, kHalfRateValue, kCalmValue, kTickValue, kSettingValueCount };
extern const char* const kSettingValueNames[kSettingValueCount];

// The registry's type number of a 32-bit value.
constexpr uint32_t kRegistryDword = 4;

// One value as the registry gave it.
struct RegistryValue {
    bool found;
    uint32_t type;
    uint32_t size;     // bytes the value holds, which may be more than were read
    uint8_t bytes[4];  // its first bytes, little-endian
};

// Tick 1 renders the first view; tick n the view after n - 1 ticks. From the
// first view the zoom stops growing after 18,073,710 ticks: the tick after
// that renders the last view that differs, and then the zoom starts again
// from its first view. A stored tick past it starts from the first view too.
constexpr uint32_t kLastTick = 18073711;

// A random start is drawn from ticks 1 to this (about 4.4 hours of zoom).
constexpr uint32_t kRandomTicks = 1000000;

// The settings the values give; animationEffects is Windows' own setting,
// which Calm follows while it is not stored.
SaverSettings SettingsFromValues(const RegistryValue values[kSettingValueCount], bool animationEffects);

// The DWORD the setting is stored as.
uint32_t SettingWord(const SaverSettings& settings, SettingValue value);

// The tick a run starts from: where the last one stopped (the first if that
// is not a tick from 1 to kLastTick), the first, or one drawn from ticks 1 to
// kRandomTicks by seed, which may be as plain as a clock reading: it is mixed
// until every bit counts.
uint32_t StartTick(const SaverSettings& settings, uint64_t seed);
