// Drives the screen saver's settings dialog through its controls, as a person
// would, and reads what it left in the registry.
#include "saver.h"
#include "settings_dialog.h"

#include "stored_settings.h"
#include "watchdog.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

HINSTANCE Instance()
{
    return GetModuleHandleA(nullptr);
}

// A visible dialog box of this thread with that caption (a message box's is its title).
struct DialogSearch {
    const char* caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM lParam)
{
    DialogSearch* search = reinterpret_cast<DialogSearch*>(lParam);
    char className[16] = {}, title[64] = {};
    GetClassNameA(hwnd, className, sizeof className);
    GetWindowTextA(hwnd, title, sizeof title);
    if (std::string(className) != "#32770" || std::string(title) != search->caption || !IsWindowVisible(hwnd))
        return TRUE;
    search->found = hwnd;
    return FALSE;
}

HWND FindDialog(const char* caption)
{
    DialogSearch search = {caption, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

const char kDialog[] = "Mandelbrot Set Settings";

// What the person does, one step a timer tick while the dialog's (or a message
// box's) modal loop runs: a step returns false to be tried again at the next.
std::vector<std::function<bool()>> steps;
size_t nextStep;

VOID CALLBACK TakeStep(HWND, UINT, UINT_PTR, DWORD)
{
    if (nextStep < steps.size() && steps[nextStep]())
        ++nextStep;
}

// Runs the dialog for `owner` through the steps; true if all were taken.
bool RunDialog(HWND owner, std::vector<std::function<bool()>> script)
{
    steps = std::move(script);
    nextStep = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 30, TakeStep);
    {
        Watchdog watchdog;
        RunSettingsDialog(Instance(), owner);
    }
    KillTimer(nullptr, timer);
    INFO("the steps stopped at step ", nextStep);
    CHECK(nextStep == steps.size());
    return nextStep == steps.size();
}

HWND dialog;

std::function<bool()> Appears()
{
    return [] { return (dialog = FindDialog(kDialog)) != nullptr; };
}

// Posted, so that what the click starts (a message box, say) runs in the
// dialog's loop, where the next steps can see it.
std::function<bool()> Click(int id)
{
    return [id] {
        PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
        return true;
    };
}

bool Checked(int id)
{
    return IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

// The checked buttons among ids, as a string of their ids for a readable failure.
std::string CheckedOf(std::initializer_list<int> ids)
{
    std::string checked;
    for (int id : ids)
        if (Checked(id))
            checked += std::to_string(id) + " ";
    return checked;
}

const std::initializer_list<int> kAllChoices = {IDC_EACH_MONITOR, IDC_SPAN_MONITORS, IDC_PRIMARY_MONITOR,
                                                IDC_START_STOPPED, IDC_START_BEGINNING, IDC_START_RANDOM,
                                                IDC_HALF_RATE,    IDC_CALM};

std::string shownChoices;

std::function<bool()> NoteChoices()
{
    return [] {
        shownChoices = CheckedOf(kAllChoices);
        return true;
    };
}

// Windows' animation setting for the case, put back afterwards.
struct AnimationEffects {
    BOOL saved = TRUE;
    explicit AnimationEffects(BOOL on)
    {
        SystemParametersInfoA(SPI_GETCLIENTAREAANIMATION, 0, &saved, 0);
        SystemParametersInfoA(SPI_SETCLIENTAREAANIMATION, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(on)), 0);
    }
    ~AnimationEffects()
    {
        SystemParametersInfoA(SPI_SETCLIENTAREAANIMATION, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(saved)), 0);
    }
};

std::string Ids(std::initializer_list<int> ids)
{
    std::string s;
    for (int id : ids)
        s += std::to_string(id) + " ";
    return s;
}

}  // namespace

TEST_CASE("the dialog shows the defaults, and OK stores what was chosen and nothing the person left alone")
{
    NoStoredSettings clean;
    AnimationEffects animations(TRUE);
    REQUIRE(RunDialog(nullptr, {Appears(), NoteChoices(), Click(IDC_SPAN_MONITORS), Click(IDC_START_RANDOM),
                                Click(IDC_HALF_RATE), Click(IDOK)}));
    CHECK(shownChoices == Ids({IDC_EACH_MONITOR, IDC_START_STOPPED, IDC_HALF_RATE}));
    CHECK(Stored(kMonitorsValue) == int64_t(MonitorMode::Span));
    CHECK(Stored(kStartValue) == int64_t(StartMode::RandomDepth));
    CHECK(Stored(kHalfRateValue) == 0);
    CHECK(Stored(kCalmValue) == -1);  // left alone: it goes on following Windows
    CHECK(Stored(kTickValue) == -1);

    SUBCASE("the next time it shows the stored choices, and calm once chosen is stored")
    {
        REQUIRE(RunDialog(nullptr, {Appears(), NoteChoices(), Click(IDC_PRIMARY_MONITOR), Click(IDC_CALM),
                                    Click(IDOK)}));
        CHECK(shownChoices == Ids({IDC_SPAN_MONITORS, IDC_START_RANDOM}));
        CHECK(Stored(kMonitorsValue) == int64_t(MonitorMode::PrimaryOnly));
        CHECK(Stored(kCalmValue) == 1);
        const SaverSettings loaded = LoadSettings();
        CHECK(loaded.monitors == MonitorMode::PrimaryOnly);
        CHECK(loaded.start == StartMode::RandomDepth);
        CHECK_FALSE(loaded.halfRateOnBattery);
        CHECK(loaded.calm);
    }
    SUBCASE("Cancel and Escape store nothing")
    {
        REQUIRE(RunDialog(nullptr, {Appears(), Click(IDC_EACH_MONITOR), Click(IDC_START_BEGINNING), Click(IDC_CALM),
                                    Click(IDCANCEL)}));
        REQUIRE(RunDialog(nullptr, {Appears(), Click(IDC_PRIMARY_MONITOR), Click(IDC_HALF_RATE), [] {
                                        // The key goes to the focused control; the dialog makes it IDCANCEL.
                                        HWND focus = GetFocus();
                                        PostMessageA(focus ? focus : dialog, WM_KEYDOWN, VK_ESCAPE, 0);
                                        return true;
                                    }}));
        CHECK(Stored(kMonitorsValue) == int64_t(MonitorMode::Span));
        CHECK(Stored(kStartValue) == int64_t(StartMode::RandomDepth));
        CHECK(Stored(kHalfRateValue) == 0);
        CHECK(Stored(kCalmValue) == -1);
    }
}

TEST_CASE("without a stored choice the calm box follows Windows' animation setting")
{
    NoStoredSettings clean;
    AnimationEffects animations(FALSE);
    REQUIRE(RunDialog(nullptr, {Appears(), NoteChoices(), Click(IDOK)}));
    CHECK(shownChoices == Ids({IDC_EACH_MONITOR, IDC_START_STOPPED, IDC_HALF_RATE, IDC_CALM}));
    CHECK(Stored(kCalmValue) == -1);
    CHECK(LoadSettings().calm);
    StoreWord(kCalmValue, 0);
    CHECK_FALSE(LoadSettings().calm);
}

TEST_CASE("bad values show their defaults in the dialog")
{
    NoStoredSettings clean;
    AnimationEffects animations(TRUE);
    StoreWord(kMonitorsValue, 7);
    StoreWord(kStartValue, 2);
    StoreRaw(kHalfRateValue, REG_SZ, "0", 2);
    REQUIRE(RunDialog(nullptr, {Appears(), NoteChoices(), Click(IDCANCEL)}));
    CHECK(shownChoices == Ids({IDC_EACH_MONITOR, IDC_START_RANDOM, IDC_HALF_RATE}));
}

TEST_CASE("settings that cannot be stored are reported, and the dialog keeps the choices on screen")
{
    NoStoredSettings clean;
    // Under a volatile key no lasting key can be made.
    HKEY parent;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Mandelbrot Set", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &parent, nullptr) == ERROR_SUCCESS);
    RegCloseKey(parent);
    std::string report;
    HWND messageBox = nullptr;
    REQUIRE(RunDialog(nullptr, {Appears(), Click(IDC_PRIMARY_MONITOR), Click(IDC_START_BEGINNING), Click(IDOK),
                                [&] {
                                    messageBox = FindDialog("Mandelbrot Set");
                                    if (!messageBox)
                                        return false;
                                    char text[512] = {};
                                    GetDlgItemTextA(messageBox, 0xFFFF, text, sizeof text);
                                    report = text;
                                    PostMessageA(messageBox, WM_COMMAND, IDOK, 0);
                                    return true;
                                },
                                [&] { return !IsWindow(messageBox); }, NoteChoices(), Click(IDCANCEL)}));
    CHECK(report.find("could not be saved") != std::string::npos);
    CHECK(report.find("Software\\Mandelbrot Set\\Screen Saver") != std::string::npos);
    CHECK(shownChoices == Ids({IDC_PRIMARY_MONITOR, IDC_START_BEGINNING, IDC_HALF_RATE}));
    CHECK(Stored(kMonitorsValue) == -1);
}

TEST_CASE("the dialog is modal to the given window, or else to the foreground one")
{
    NoStoredSettings clean;
    auto window = [] {
        HWND hwnd = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 10, 10, 100, 50, nullptr, nullptr,
                                    Instance(), nullptr);
        REQUIRE(hwnd);
        return hwnd;
    };
    HWND given = window(), foreground = window(), gone = window();
    DestroyWindow(gone);
    HWND owner = nullptr;
    bool ownerDisabled = false;
    auto seeOwner = [&] {
        owner = GetWindow(dialog, GW_OWNER);
        ownerDisabled = !IsWindowEnabled(owner);
        return true;
    };
    for (const std::string& line : {"/c:" + std::to_string(reinterpret_cast<uintptr_t>(given)),
                                    "-C " + std::to_string(reinterpret_cast<uintptr_t>(given)), std::string("/c"),
                                    std::string(""), "/x " + std::to_string(reinterpret_cast<uintptr_t>(given)),
                                    "/c " + std::to_string(reinterpret_cast<uintptr_t>(gone))}) {
        CAPTURE(line);
        REQUIRE(SetForegroundWindow(foreground));
        steps = {Appears(), seeOwner, Click(IDCANCEL)};
        nextStep = 0;
        const UINT_PTR timer = SetTimer(nullptr, 0, 30, TakeStep);
        const std::unique_ptr<SaverState> state = std::make_unique<SaverState>();  // about 1 MB
        {
            Watchdog watchdog;
            CHECK(RunScreenSaver(state.get(), Instance(), line.c_str()) == 0);
        }
        CHECK(state->count == 0);  // no window of the zoom
        KillTimer(nullptr, timer);
        REQUIRE(nextStep == steps.size());
        const bool ownerGiven = line.rfind("/c", 0) == 0 || line.rfind("-C", 0) == 0;
        CHECK(owner == (ownerGiven && line.find(std::to_string(reinterpret_cast<uintptr_t>(given))) != std::string::npos
                            ? given
                            : foreground));
        CHECK(ownerDisabled);
    }
    DestroyWindow(given);
    DestroyWindow(foreground);
}
