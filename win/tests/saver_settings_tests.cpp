// Drives what each of the screen saver's settings does under Wine: the
// monitors it covers, the tick it starts from and stores, the frames it
// renders on battery, the calm tick. Wine has one monitor and no battery here,
// so the system's answers come from the tests, through this program's import
// slots: the monitors EnumDisplayMonitors lists, the power status, the
// performance counter; the calls of SetTimer, RegisterPowerSettingNotification
// and SubmitThreadpoolWork are recorded.
#include "saver.h"

#include "animation.h"
#include "canvas.h"
#include "import_slot.h"
#include "saver_session.h"
#include "settings_dialog.h"
#include "stored_settings.h"
#include "watchdog.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

// The monitors the system lists, as the test chooses them, while one lives.
extern "C" BOOL(WINAPI* enumDisplayMonitorsSlot)(HDC, LPCRECT, MONITORENUMPROC,
                                                 LPARAM) __asm__(IMPORT_SLOT(EnumDisplayMonitors, 16));
BOOL(WINAPI* realEnumDisplayMonitors)(HDC, LPCRECT, MONITORENUMPROC, LPARAM);
std::vector<RECT> monitors;

BOOL WINAPI ListChosenMonitors(HDC, LPCRECT, MONITORENUMPROC callback, LPARAM data)
{
    for (size_t i = 0; i < monitors.size(); ++i) {
        RECT rect = monitors[i];
        if (!callback(reinterpret_cast<HMONITOR>(i + 1), nullptr, &rect, data))
            break;
    }
    return TRUE;
}

struct ChosenMonitors {
    SlotHook<BOOL(WINAPI*)(HDC, LPCRECT, MONITORENUMPROC, LPARAM)> hook;
    explicit ChosenMonitors(std::vector<RECT> chosen)
        : hook(&enumDisplayMonitorsSlot, ListChosenMonitors, &realEnumDisplayMonitors)
    {
        monitors = std::move(chosen);
    }
};

// The power status the system reports, while one lives.
extern "C" BOOL(WINAPI* getSystemPowerStatusSlot)(LPSYSTEM_POWER_STATUS) __asm__(IMPORT_SLOT(GetSystemPowerStatus, 4));
BOOL(WINAPI* realGetSystemPowerStatus)(LPSYSTEM_POWER_STATUS);
SYSTEM_POWER_STATUS powerStatus;

BOOL WINAPI ReportPowerStatus(LPSYSTEM_POWER_STATUS status)
{
    *status = powerStatus;
    return TRUE;
}

// acLine: 0 on battery, 1 on AC; batterySaver: Windows 10's SystemStatusFlag bit 0.
struct ChosenPower {
    SlotHook<BOOL(WINAPI*)(LPSYSTEM_POWER_STATUS)> hook;
    ChosenPower(BYTE acLine, bool batterySaver)
        : hook(&getSystemPowerStatusSlot, ReportPowerStatus, &realGetSystemPowerStatus)
    {
        powerStatus = {};
        powerStatus.ACLineStatus = acLine;
        powerStatus.BatteryFlag = 1;
        powerStatus.BatteryLifePercent = 50;
        powerStatus.Reserved1 = batterySaver ? SYSTEM_STATUS_FLAG_POWER_SAVING_ON : 0;
    }
};

// The performance counter's reading, while one lives.
extern "C" BOOL(WINAPI* queryPerformanceCounterSlot)(LARGE_INTEGER*) __asm__(IMPORT_SLOT(QueryPerformanceCounter, 4));
BOOL(WINAPI* realQueryPerformanceCounter)(LARGE_INTEGER*);
LONGLONG counterReading;

BOOL WINAPI ReadChosenCounter(LARGE_INTEGER* count)
{
    count->QuadPart = counterReading;
    return TRUE;
}

struct ChosenCounter {
    SlotHook<BOOL(WINAPI*)(LARGE_INTEGER*)> hook;
    explicit ChosenCounter(LONGLONG reading)
        : hook(&queryPerformanceCounterSlot, ReadChosenCounter, &realQueryPerformanceCounter)
    {
        counterReading = reading;
    }
};

// SetTimer's calls, passed on to the system.
struct TimerCall {
    HWND hwnd;
    UINT_PTR id;
    UINT period;
};
extern "C" UINT_PTR(WINAPI* setTimerSlot)(HWND, UINT_PTR, UINT, TIMERPROC) __asm__(IMPORT_SLOT(SetTimer, 16));
UINT_PTR(WINAPI* realSetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
std::vector<TimerCall> timerCalls;

UINT_PTR WINAPI RecordSetTimer(HWND hwnd, UINT_PTR id, UINT period, TIMERPROC callback)
{
    timerCalls.push_back({hwnd, id, period});
    return realSetTimer(hwnd, id, period, callback);
}

struct RecordTimers {
    SlotHook<UINT_PTR(WINAPI*)(HWND, UINT_PTR, UINT, TIMERPROC)> hook;
    RecordTimers() : hook(&setTimerSlot, RecordSetTimer, &realSetTimer) { timerCalls.clear(); }
};

// The periods of the window's timer id, in the order they were set.
std::vector<UINT> Periods(HWND hwnd, UINT_PTR id)
{
    std::vector<UINT> periods;
    for (const TimerCall& call : timerCalls)
        if (call.hwnd == hwnd && call.id == id)
            periods.push_back(call.period);
    return periods;
}

// The power settings that RegisterPowerSettingNotification was asked for, and
// for which window.
struct PowerRequest {
    HWND hwnd;
    GUID setting;
};
extern "C" HPOWERNOTIFY(WINAPI* registerPowerSlot)(HANDLE, LPCGUID,
                                                   DWORD) __asm__(IMPORT_SLOT(RegisterPowerSettingNotification, 12));
HPOWERNOTIFY(WINAPI* realRegisterPower)(HANDLE, LPCGUID, DWORD);
std::vector<PowerRequest> powerRequests;

HPOWERNOTIFY WINAPI RecordPowerRequest(HANDLE recipient, LPCGUID setting, DWORD flags)
{
    powerRequests.push_back({static_cast<HWND>(recipient), *setting});
    return realRegisterPower(recipient, setting, flags);
}

struct RecordPowerRequests {
    SlotHook<HPOWERNOTIFY(WINAPI*)(HANDLE, LPCGUID, DWORD)> hook;
    RecordPowerRequests() : hook(&registerPowerSlot, RecordPowerRequest, &realRegisterPower) { powerRequests.clear(); }
};

const GUID kPowerSource = {0x5d3e9a59, 0xe9d5, 0x4b00, {0xa6, 0xbd, 0xff, 0x34, 0xff, 0x51, 0x65, 0x48}};
const GUID kBatterySaver = {0xe00958c0, 0xc213, 0x4ace, {0xac, 0x77, 0xfe, 0xcc, 0xed, 0x2e, 0xee, 0xa5}};

bool Asked(HWND hwnd, const GUID& setting)
{
    for (const PowerRequest& request : powerRequests)
        if (request.hwnd == hwnd && IsEqualGUID(request.setting, setting))
            return true;
    return false;
}

// SubmitThreadpoolWork's calls, counted and not passed on: the window thread
// then renders every band itself.
extern "C" VOID(WINAPI* submitWorkSlot)(PTP_WORK) __asm__(IMPORT_SLOT(SubmitThreadpoolWork, 4));
VOID(WINAPI* realSubmitWork)(PTP_WORK);
int submissions;

VOID WINAPI CountSubmission(PTP_WORK)
{
    ++submissions;
}

// The view that tick `tick` renders.
ViewState ViewOfTick(uint32_t tick)
{
    return ViewAfterTicks(kFirstView, int64_t(tick) - 1, nullptr, 1, 1);
}

// /s with the settings given, on the monitors chosen.
void StartRun(SaverState* state, const SaverSettings& settings)
{
    state->settings = settings;
    REQUIRE(StartFullScreen(state, Instance()) == static_cast<int>(monitors.size()));
}

SaverSettings Settings(MonitorMode monitorMode, bool halfRate = false, bool calm = false)
{
    SaverSettings settings = {};
    settings.monitors = monitorMode;
    settings.start = StartMode::Beginning;
    settings.halfRateOnBattery = halfRate;
    settings.calm = calm;
    return settings;
}

// The open screens in slot order.
std::vector<const Screen*> OpenScreens(const SaverState& state)
{
    std::vector<const Screen*> open;
    for (int i = 0; i < state.count; ++i)
        if (state.screens[i].hwnd)
            open.push_back(&state.screens[i]);
    return open;
}

// The words the window shows, read back from its surface after a paint.
std::vector<uint32_t> Painted(HWND hwnd, int width, int height)
{
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    const Canvas canvas(width, height, 32);
    HDC dc = GetDC(hwnd);
    BitBlt(canvas.dc, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, dc);
    std::vector<uint32_t> words;
    for (int i = 0; i < width * height; ++i)
        words.push_back(CanvasWord(canvas, i % width, i / width));
    return words;
}

// Every window covers its monitor, in the order listed, and each shows the
// crop of the whole frame of the span at its monitor.
void CheckSpan(const SaverState& state, const std::vector<uint32_t>& whole)
{
    const int32_t W = state.span.width;
    const std::vector<const Screen*> open = OpenScreens(state);
    REQUIRE(open.size() == monitors.size());
    GdiFlush();
    for (size_t m = 0; m < monitors.size(); ++m) {
        CAPTURE(m);
        const Screen& screen = *open[m];
        const RECT& monitor = monitors[m];
        CHECK(SameRect(WindowRect(screen.hwnd), monitor));
        REQUIRE(screen.pixels);
        REQUIRE(screen.width == monitor.right - monitor.left);
        REQUIRE(screen.height == monitor.bottom - monitor.top);
        const int32_t left = monitor.left - state.span.left, top = monitor.top - state.span.top;
        int wrong = 0;
        for (int32_t y = 0; y < screen.height; ++y)
            for (int32_t x = 0; x < screen.width; ++x)
                wrong += screen.pixels[y * screen.width + x] != whole[size_t(top + y) * W + left + x];
        CHECK(wrong == 0);
    }
}

// Two ticks from each of two views, one of whose centre points escapes and
// one whose does not: each tick shows the crops of the whole W x H frame, and
// advances the view as a frame of that size would. Returns whether the first
// window's own centre word ever differed from the span's centre word, where a
// tick advanced by the window's frame would have drifted otherwise.
bool TicksAcross(SaverState* state, int32_t W, int32_t H)
{
    REQUIRE(state->span.width == W);
    REQUIRE(state->span.height == H);
    bool told = false;
    for (const ViewState start : {kFirstView, ViewState{4.0f, 0.24f, 0.0f}}) {
        viewState = start;
        for (int tick = 0; tick < 2; ++tick) {
            const ViewState view = viewState;
            const std::vector<uint32_t> whole = ReferenceFrame(view, W, H);
            SaverTick(state);
            CheckSpan(*state, whole);
            CHECK(SameView(viewState, ViewAfterTicks(view, 1, nullptr, W, H)));
            const Screen& first = *OpenScreens(*state)[0];
            told |= (first.pixels[CenterIndex(first.width, first.height)] != 0) != (whole[CenterIndex(W, H)] != 0);
        }
    }
    return told;
}

// Runs ticks and tells which were rendered: 'R' for a tick whose frame the
// screen shows exactly, '-' for one that left the frame as it was. Each
// advances the view and the tick number by one, rendered or not.
std::string Rendered(SaverState* state, const Screen& screen, int ticks)
{
    std::string pattern;
    for (int i = 0; i < ticks; ++i) {
        const uint32_t tick = state->tick;
        REQUIRE(SameView(viewState, ViewOfTick(tick)));
        const std::vector<uint32_t> expected = ReferenceFrame(viewState, screen.width, screen.height);
        const size_t words = size_t(screen.width) * screen.height;
        std::fill(screen.pixels, screen.pixels + words, 0x123456u);
        SaverTick(state);
        if (ShowsFrame(screen, expected))
            pattern += 'R';
        else
            pattern += std::count(screen.pixels, screen.pixels + words, 0x123456u) == long(words) ? '-' : '?';
        CHECK(state->tick == tick + 1);
        CHECK(SameView(viewState, ViewOfTick(tick + 1)));
    }
    return pattern;
}

}  // namespace

TEST_CASE("one zoom across all monitors: each window shows exactly its part of one frame of the virtual screen")
{
    SaverSession session;
    SaverState& state = session.state;
    // Small monitors, so that the reference renders the whole frame quickly.
    SUBCASE("side by side, of different sizes, the primary on the left but listed second")
    {
        ChosenMonitors chosen({{64, 0, 104, 30}, {0, 0, 64, 48}});
        StartRun(&state, Settings(MonitorMode::Span));
        CHECK(TicksAcross(&state, 104, 48));
    }
    SUBCASE("stacked")
    {
        ChosenMonitors chosen({{0, 0, 48, 32}, {0, 32, 64, 72}});
        StartRun(&state, Settings(MonitorMode::Span));
        TicksAcross(&state, 64, 72);
    }
    SUBCASE("with a gap, one at negative coordinates")
    {
        ChosenMonitors chosen({{0, 0, 48, 36}, {-60, -20, -20, 10}, {70, 50, 102, 74}});
        StartRun(&state, Settings(MonitorMode::Span));
        TicksAcross(&state, 162, 94);
    }
}

TEST_CASE("one zoom across all monitors after a display or DPI change: one frame across the new monitors")
{
    SaverSession session;
    SaverState& state = session.state;
    ChosenMonitors chosen({{0, 0, 48, 32}, {48, 0, 80, 24}});
    StartRun(&state, Settings(MonitorMode::Span));
    TicksAcross(&state, 80, 32);
    HWND first = OpenScreens(state)[0]->hwnd;
    SUBCASE("a display change, and a monitor more")
    {
        monitors = {{0, 0, 40, 30}, {40, -10, 96, 40}, {-30, 30, 0, 50}};
        SendMessageA(first, WM_DISPLAYCHANGE, 32, 0);
        TicksAcross(&state, 126, 60);
    }
    SUBCASE("a DPI change, and a monitor less")
    {
        monitors = {{0, 0, 56, 40}};
        const RECT suggested = {0, 0, 84, 60};
        SendMessageA(first, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
        TicksAcross(&state, 56, 40);
    }
}

TEST_CASE("the primary monitor only: the others are covered by black windows that have no frame")
{
    SaverSession session;
    SaverState& state = session.state;
    // The primary, at the screen's origin, is listed second.
    ChosenMonitors chosen({{-40, 0, 0, 30}, {0, 0, 64, 48}, {64, 10, 96, 34}});
    StartRun(&state, Settings(MonitorMode::PrimaryOnly));
    CHECK(state.span.width == 0);
    const std::vector<const Screen*> open = OpenScreens(state);
    REQUIRE(open.size() == 3);
    for (size_t m = 0; m < 3; ++m)
        CHECK(SameRect(WindowRect(open[m]->hwnd), monitors[m]));
    const Screen& primary = *open[1];
    for (const Screen* black : {open[0], open[2]}) {
        CHECK(black->pixels == nullptr);
        CHECK(black->bitmap == nullptr);
        CHECK(black->dc == nullptr);
    }

    // A tick renders the primary's own frame and repaints it alone.
    for (const Screen* screen : open)
        ValidateRect(screen->hwnd, nullptr);
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, 64, 48);
    SaverTick(&state);
    CHECK(ShowsFrame(primary, expected));
    CHECK(GetUpdateRect(primary.hwnd, nullptr, FALSE));
    CHECK_FALSE(GetUpdateRect(open[0]->hwnd, nullptr, FALSE));
    CHECK_FALSE(GetUpdateRect(open[2]->hwnd, nullptr, FALSE));
    CHECK(Painted(open[0]->hwnd, 40, 30) == std::vector<uint32_t>(40 * 30, 0));
    CHECK(Painted(open[2]->hwnd, 32, 24) == std::vector<uint32_t>(32 * 24, 0));

    SUBCASE("a display change keeps the mode: the window on the new primary gets a frame, the old one loses it")
    {
        monitors = {{0, 0, 40, 30}, {40, 0, 104, 48}};
        SendMessageA(open[1]->hwnd, WM_DISPLAYCHANGE, 32, 0);
        const std::vector<const Screen*> now = OpenScreens(state);
        REQUIRE(now.size() == 2);
        CHECK(now[0]->width == 40);
        CHECK(now[1]->pixels == nullptr);
        const std::vector<uint32_t> frame = ReferenceFrame(viewState, 40, 30);
        SaverTick(&state);
        CHECK(ShowsFrame(*now[0], frame));
        CHECK(Painted(now[1]->hwnd, 64, 48) == std::vector<uint32_t>(64 * 48, 0));
    }
    SUBCASE("no monitor at the origin: the first one listed is taken for the primary")
    {
        monitors = {{10, 10, 50, 40}, {50, 10, 90, 40}};
        SendMessageA(open[1]->hwnd, WM_DISPLAYCHANGE, 32, 0);
        const std::vector<const Screen*> now = OpenScreens(state);
        REQUIRE(now.size() == 2);
        CHECK(now[0]->pixels != nullptr);
        CHECK(now[1]->pixels == nullptr);
    }
}

namespace {
// /s on one 48 x 32 monitor with the settings as stored: it starts at `tick`
// with that tick's view, renders it, and goes on to the next.
void CheckStart(SaverState* state, uint32_t tick)
{
    CAPTURE(tick);
    state->settings = LoadSettings();
    REQUIRE(StartFullScreen(state, Instance()) == 1);
    CHECK(state->tick == tick);
    const ViewState view = ViewOfTick(tick);
    CHECK(SameView(viewState, view));
    const std::vector<uint32_t> expected = ReferenceFrame(view, 48, 32);
    SaverTick(state);
    CHECK(ShowsFrame(state->screens[0], expected));
    if (tick == kLastTick) {
        CHECK(state->tick == 1);
        CHECK(SameView(viewState, kFirstView));
    } else {
        CHECK(state->tick == tick + 1);
        CHECK(SameView(viewState, ViewOfTick(tick + 1)));
    }
}
}  // namespace

TEST_CASE("the start: where the last run stopped, from the beginning, or at a random depth, at that tick's view")
{
    SaverSession session;
    ChosenMonitors chosen({{0, 0, 48, 32}});
    SUBCASE("where the last run stopped")
    {
        StoreWord(kTickValue, 5000);
        CheckStart(&session.state, 5000);
    }
    SUBCASE("where the last run stopped, at the last tick whose view differs: the next is the first")
    {
        StoreWord(kTickValue, kLastTick);
        CheckStart(&session.state, kLastTick);
    }
    SUBCASE("a stored tick past that starts from the first view")
    {
        StoreWord(kTickValue, kLastTick + 1);
        CheckStart(&session.state, 1);
    }
    SUBCASE("so does tick 0")
    {
        StoreWord(kTickValue, 0);
        CheckStart(&session.state, 1);
    }
    SUBCASE("nothing stored: the first view") { CheckStart(&session.state, 1); }
    SUBCASE("from the beginning, whatever is stored")
    {
        StoreWord(kStartValue, uint32_t(StartMode::Beginning));
        StoreWord(kTickValue, 5000);
        CheckStart(&session.state, 1);
    }
    SUBCASE("at a random depth: the tick the performance counter's reading draws, whatever is stored")
    {
        SaverSettings random = {};
        random.start = StartMode::RandomDepth;
        uint32_t previous = 0;
        for (const LONGLONG reading : {LONGLONG(0x123456789), LONGLONG(0x12345678A)}) {
            CAPTURE(reading);
            SaverSession run;
            StoreWord(kStartValue, uint32_t(StartMode::RandomDepth));
            StoreWord(kTickValue, 5000);
            ChosenCounter counter(reading);
            const uint32_t tick = StartTick(random, uint64_t(reading));
            REQUIRE(tick >= 1);
            REQUIRE(tick <= kRandomTicks);
            REQUIRE(tick != previous);
            CheckStart(&run.state, tick);
            previous = tick;
        }
    }
}

TEST_CASE("the preview starts as the Start setting says, and shows one window of its own size in every mode")
{
    for (const MonitorMode mode : {MonitorMode::EachOwn, MonitorMode::Span, MonitorMode::PrimaryOnly}) {
        CAPTURE(int(mode));
        SaverSession session;
        SaverState& state = session.state;
        state.settings = Settings(mode);
        state.settings.start = StartMode::WhereStopped;
        state.settings.tick = 777;
        HWND child = StartPreview(&state, Instance(), NewParent(60, 40));
        REQUIRE(child);
        CHECK(state.count == 1);
        CHECK(state.span.width == 0);
        CHECK(state.tick == 777);
        const std::vector<uint32_t> expected = ReferenceFrame(ViewOfTick(777), 60, 40);
        SaverTick(&state);
        CHECK(ShowsFrame(state.screens[0], expected));
    }
}

TEST_CASE("/s stores the tick it is on once a minute and at the end of the session; the preview stores none")
{
    SaverSession session;
    SaverState& state = session.state;
    ChosenMonitors chosen({{0, 0, 32, 24}});
    RecordTimers timers;
    SUBCASE("/s")
    {
        StartRun(&state, Settings(MonitorMode::EachOwn));
        CHECK(Periods(state.clock, kStoreTimer) == std::vector<UINT>{kStoreMilliseconds});
        SaverTick(&state);
        SaverTick(&state);
        REQUIRE(state.tick == 3);
        CHECK(Stored(kTickValue) == -1);
        SendMessageA(state.clock, WM_TIMER, kStoreTimer, 0);
        CHECK(Stored(kTickValue) == 3);
        CHECK(state.tick == 3);  // storing is no tick

        SaverTick(&state);
        HWND hwnd = state.screens[0].hwnd;
        SendMessageA(hwnd, WM_ENDSESSION, FALSE, 0);  // the session goes on after all
        CHECK(Stored(kTickValue) == 3);
        SendMessageA(hwnd, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        CHECK(Stored(kTickValue) == 4);
    }
    SUBCASE("the preview")
    {
        HWND child = StartPreview(&state, Instance(), NewParent(32, 24));
        REQUIRE(child);
        CHECK(Periods(state.clock, kStoreTimer).empty());
        SaverTick(&state);
        SendMessageA(child, WM_ENDSESSION, TRUE, 0);
        CHECK(Stored(kTickValue) == -1);
    }
}

namespace {
// A step taken while RunScreenSaver's message loop runs, at each of a timer's
// messages until it returns true.
std::function<bool()> step;

VOID CALLBACK TakeStep(HWND, UINT, UINT_PTR timer, DWORD)
{
    if (step && step()) {
        step = nullptr;
        KillTimer(nullptr, timer);
    }
}

int RunWithStep(SaverState* state, const char* commandLine, std::function<bool()> stepping)
{
    step = std::move(stepping);
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, TakeStep);
    Watchdog watchdog;
    const int code = RunScreenSaver(state, Instance(), commandLine);
    KillTimer(nullptr, timer);
    return code;
}
}  // namespace

TEST_CASE("/s reads the settings once, as it starts, and stores where it stopped however it ends")
{
    SaverSession session;
    SaverState& state = session.state;
    ChosenMonitors chosen({{0, 0, 40, 30}, {40, 0, 72, 24}});
    RecordTimers timers;
    StoreWord(kMonitorsValue, uint32_t(MonitorMode::Span));
    StoreWord(kTickValue, 5000);
    StoreWord(kCalmValue, 1);
    bool stillSpanning = false;
    UINT ending = 0;
    SUBCASE("a key") { ending = WM_KEYDOWN; }
    SUBCASE("WM_CLOSE") { ending = WM_CLOSE; }
    const int code = RunWithStep(&state, "/s", [&] {
        if (state.tick < 5002)
            return false;
        // Settings changed while it runs are not heeded, not even by a display change.
        StoreWord(kMonitorsValue, uint32_t(MonitorMode::PrimaryOnly));
        SendMessageA(state.screens[0].hwnd, WM_DISPLAYCHANGE, 32, 0);
        stillSpanning = state.span.width == 72 && state.screens[1].pixels != nullptr;
        SendMessageA(state.screens[1].hwnd, ending, 'A', 0);
        return true;
    });
    CHECK(code == 0);
    CHECK(stillSpanning);
    CHECK(Periods(state.clock, kTickTimer) == std::vector<UINT>{kCalmTickMilliseconds});
    CHECK(state.tick >= 5002);
    CHECK(Stored(kTickValue) == state.tick);
}

TEST_CASE("the preview stores no tick when it ends")
{
    SaverSession session;
    SaverState& state = session.state;
    HWND parent = NewParent(32, 24);
    const std::string line = "/p " + std::to_string(reinterpret_cast<uintptr_t>(parent));
    CHECK(RunWithStep(&state, line.c_str(), [&] {
              if (state.tick < 3)
                  return false;
              DestroyWindow(parent);
              return true;
          }) == 0);
    CHECK(state.tick >= 3);
    CHECK(Stored(kTickValue) == -1);
}

TEST_CASE("on battery or battery saver, every second tick is rendered, each exactly its tick's frame")
{
    struct Start {
        const char* what;
        BYTE acLine;
        bool batterySaver;
        const char* rendered;
    };
    const Start starts[] = {
        {"on AC", 1, false, "RRRR"},
        {"AC unknown", 255, false, "RRRR"},
        {"on battery", 0, false, "R-R-"},
        {"battery saver on AC", 1, true, "R-R-"},
    };
    for (const Start& start : starts) {
        CAPTURE(std::string(start.what));
        SaverSession session;
        SaverState& state = session.state;
        ChosenMonitors chosen({{0, 0, 48, 32}});
        ChosenPower power(start.acLine, start.batterySaver);
        RecordPowerRequests requests;
        StartRun(&state, Settings(MonitorMode::EachOwn, true));
        const Screen& screen = state.screens[0];
        CHECK(Asked(screen.hwnd, kPowerSource));
        CHECK(Asked(screen.hwnd, kBatterySaver));
        CHECK(Rendered(&state, screen, 4) == start.rendered);

        // The system's reports while it runs.
        ReportPower(screen.hwnd, kPowerSource, 0);
        ReportPower(screen.hwnd, kBatterySaver, 0);
        CHECK(Rendered(&state, screen, 3) == "RRR");
        ReportPower(screen.hwnd, kPowerSource, 1);
        CHECK(Rendered(&state, screen, 4) == "-R-R");
        ReportPower(screen.hwnd, kPowerSource, 2);  // a UPS
        CHECK(Rendered(&state, screen, 2) == "-R");
        ReportPower(screen.hwnd, kPowerSource, 0);
        CHECK(Rendered(&state, screen, 2) == "RR");
        ReportPower(screen.hwnd, kBatterySaver, 1);
        CHECK(Rendered(&state, screen, 4) == "-R-R");
        ReportPower(screen.hwnd, kBatterySaver, 0);
        CHECK(Rendered(&state, screen, 2) == "RR");
    }
}

TEST_CASE("without HalfRateOnBattery every tick is rendered, on battery and with battery saver too")
{
    SaverSession session;
    SaverState& state = session.state;
    ChosenMonitors chosen({{0, 0, 48, 32}});
    ChosenPower power(0, true);
    StartRun(&state, Settings(MonitorMode::EachOwn, false));
    const Screen& screen = state.screens[0];
    CHECK(Rendered(&state, screen, 3) == "RRR");
    ReportPower(screen.hwnd, kPowerSource, 1);
    ReportPower(screen.hwnd, kBatterySaver, 1);
    CHECK(Rendered(&state, screen, 3) == "RRR");
}

TEST_CASE("the preview renders half the frames on battery too, and follows the power source")
{
    SaverSession session;
    SaverState& state = session.state;
    state.settings = Settings(MonitorMode::EachOwn, true);
    ChosenPower power(0, false);
    RecordPowerRequests requests;
    HWND child = StartPreview(&state, Instance(), NewParent(40, 30));
    REQUIRE(child);
    CHECK(Asked(child, kPowerSource));
    CHECK(Asked(child, kBatterySaver));
    const Screen& screen = state.screens[0];
    CHECK(Rendered(&state, screen, 4) == "R-R-");
    ReportPower(child, kPowerSource, 0);
    CHECK(Rendered(&state, screen, 2) == "RR");
}

TEST_CASE("calm: a tick every 200 ms, each the next tick's frame; without it every 16 ms")
{
    struct Case {
        const char* what;
        bool calm;
        bool onBattery;
        UINT period;
        const char* rendered;
    };
    const Case cases[] = {
        {"calm", true, false, kCalmTickMilliseconds, "RRRR"},
        {"not calm", false, false, kTickMilliseconds, "RRRR"},
        {"calm, on battery: every second 200 ms tick", true, true, kCalmTickMilliseconds, "R-R-"},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.what));
        SaverSession session;
        SaverState& state = session.state;
        ChosenMonitors chosen({{0, 0, 48, 32}});
        ChosenPower power(c.onBattery ? 0 : 1, false);
        RecordTimers timers;
        StartRun(&state, Settings(MonitorMode::EachOwn, true, c.calm));
        CHECK(Periods(state.clock, kTickTimer) == std::vector<UINT>{c.period});
        CHECK(Rendered(&state, state.screens[0], 4) == c.rendered);
    }
    SUBCASE("the preview is calm too")
    {
        SaverSession session;
        SaverState& state = session.state;
        RecordTimers timers;
        state.settings = Settings(MonitorMode::EachOwn, false, true);
        REQUIRE(StartPreview(&state, Instance(), NewParent(40, 30)));
        CHECK(Periods(state.clock, kTickTimer) == std::vector<UINT>{kCalmTickMilliseconds});
    }
}

TEST_CASE("a frame is cut into bands for every thread that shares it, also past 128 threads")
{
    SaverSession session;
    SaverState& state = session.state;
    ChosenMonitors chosen({{0, 0, 40, 400}});  // 400 distinct rows
    StartRun(&state, Settings(MonitorMode::EachOwn));
    state.helpers = 299;
    SlotHook<VOID(WINAPI*)(PTP_WORK)> count(&submitWorkSlot, CountSubmission, &realSubmitWork);
    submissions = 0;
    const std::vector<uint32_t> expected = ReferenceFrame(viewState, 40, 400);
    SaverTick(&state);
    CHECK(ShowsFrame(state.screens[0], expected));
    REQUIRE(state.work != nullptr);
    CHECK(submissions == 299);
    CHECK(FrameBands(&state.workspace) >= 300);
}

TEST_CASE("bad stored values never stop the saver: each gives its default, and the frames are exact")
{
    struct Bad {
        const char* what;
        DWORD type;
        std::vector<BYTE> bytes;
    };
    const Bad bad[] = {
        {"a string", REG_SZ, {'1', 0}},
        {"out of range", REG_DWORD, {}},
        {"16 bytes", REG_BINARY, std::vector<BYTE>(16, 1)},
    };
    for (const Bad& b : bad) {
        for (int v = 0; v < kSettingValueCount; ++v) {
            CAPTURE(std::string(b.what));
            CAPTURE(std::string(kSettingValueNames[v]));
            SaverSession session;
            SaverState& state = session.state;
            ChosenMonitors chosen({{0, 0, 40, 30}, {40, 0, 72, 24}});
            ChosenPower power(0, false);
            // Every other value a good choice that is not its default.
            StoreWord(kMonitorsValue, uint32_t(MonitorMode::PrimaryOnly));
            StoreWord(kStartValue, uint32_t(StartMode::Beginning));
            StoreWord(kHalfRateValue, 0);
            StoreWord(kCalmValue, 0);
            StoreWord(kTickValue, 5000);
            if (b.bytes.empty())  // past each setting's range: Tick's is 1 to kLastTick
                StoreWord(SettingValue(v), v == kTickValue ? kLastTick + 1 : 3);
            else
                StoreRaw(SettingValue(v), b.type, b.bytes.data(), DWORD(b.bytes.size()));
            uint32_t first = 0;
            bool shown = false;
            CHECK(RunWithStep(&state, "/s", [&] {
                      first = first ? first : state.tick;
                      if (state.tick < first + 2)
                          return false;
                      // On battery with half the frames, only odd ticks are rendered.
                      const uint32_t rendered =
                          state.settings.halfRateOnBattery && state.tick % 2 == 1 ? state.tick - 2 : state.tick - 1;
                      const Screen& primary = state.screens[0];
                      shown = ShowsFrame(primary, ReferenceFrame(ViewOfTick(rendered), primary.width, primary.height));
                      SendMessageA(primary.hwnd, WM_KEYDOWN, 'A', 0);
                      return true;
                  }) == 0);
            CHECK(shown);
            const SaverSettings& s = state.settings;
            CHECK(s.monitors == (v == kMonitorsValue ? MonitorMode::EachOwn : MonitorMode::PrimaryOnly));
            CHECK((state.screens[1].pixels != nullptr) == (v == kMonitorsValue));
            CHECK(s.start == (v == kStartValue ? StartMode::WhereStopped : StartMode::Beginning));
            CHECK(s.halfRateOnBattery == (v == kHalfRateValue));
            CHECK(s.calmChosen == (v != kCalmValue));
            CHECK(s.tick == (v == kTickValue ? 1u : 5000u));
            CHECK((state.tick >= 5000) == (v == kStartValue));
        }
    }
}
