// The settings dialog (a dialog resource, settings_dialog.rc) and the
// registry values behind it.
#include "settings_dialog.h"

#include "shell.h"

#include <windows.h>

namespace {

HKEY OpenSettingsKey(REGSAM access)
{
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, access, &key) == ERROR_SUCCESS ? key : nullptr;
}

// The value as the registry holds it; a larger one than 4 bytes reports its
// size, which no setting accepts.
RegistryValue QueryValue(HKEY key, const char* name)
{
    RegistryValue value = {};
    DWORD type = 0, size = sizeof value.bytes;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, value.bytes, &size);
    value.found = status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
    value.type = type;
    value.size = size;
    return value;
}

// Windows' "Animation effects"; on where the system does not say.
bool AnimationEffects()
{
    BOOL on = TRUE;
    return !SystemParametersInfoA(SPI_GETCLIENTAREAANIMATION, 0, &on, 0) || on;
}

uint32_t StoreWords(const SaverSettings& settings, const SettingValue* values, int count)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr);
    for (int i = 0; i < count && status == ERROR_SUCCESS; ++i) {
        const DWORD word = SettingWord(settings, values[i]);
        status = RegSetValueExA(key, kSettingValueNames[values[i]], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word),
                                sizeof word);
    }
    if (key)
        RegCloseKey(key);
    return static_cast<uint32_t>(status);
}

void ShowChoices(HWND dialog, const SaverSettings& settings)
{
    CheckRadioButton(dialog, IDC_EACH_MONITOR, IDC_PRIMARY_MONITOR, IDC_EACH_MONITOR + int(settings.monitors));
    CheckRadioButton(dialog, IDC_START_STOPPED, IDC_START_RANDOM, IDC_START_STOPPED + int(settings.start));
    CheckDlgButton(dialog, IDC_HALF_RATE, settings.halfRateOnBattery ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_CALM, settings.calm ? BST_CHECKED : BST_UNCHECKED);
}

// The first of the radio buttons first..last that is checked, as an offset.
uint32_t CheckedChoice(HWND dialog, int first, int last)
{
    for (int id = first; id <= last; ++id)
        if (IsDlgButtonChecked(dialog, id) == BST_CHECKED)
            return static_cast<uint32_t>(id - first);
    return 0;
}

// Calm is stored once the person sets it otherwise than it was: until then
// it follows Windows' animation setting.
SaverSettings ReadChoices(HWND dialog, SaverSettings settings)
{
    settings.monitors = MonitorMode(CheckedChoice(dialog, IDC_EACH_MONITOR, IDC_PRIMARY_MONITOR));
    settings.start = StartMode(CheckedChoice(dialog, IDC_START_STOPPED, IDC_START_RANDOM));
    settings.halfRateOnBattery = IsDlgButtonChecked(dialog, IDC_HALF_RATE) == BST_CHECKED;
    const bool calm = IsDlgButtonChecked(dialog, IDC_CALM) == BST_CHECKED;
    settings.calmChosen = settings.calmChosen || calm != settings.calm;
    settings.calm = calm;
    return settings;
}

void ReportStoreFailure(HWND dialog, uint32_t error)
{
    char reason[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, reason,
                   sizeof reason, nullptr);
    // wsprintfA rather than the C library's formatting, which would double the saver's size.
    char text[512];
    wsprintfA(text, "The settings could not be saved in HKEY_CURRENT_USER\\%s (error %lu: %s).\n\n"
                    "Your choices are still shown.",
              kSettingsKey, static_cast<unsigned long>(error), reason[0] ? reason : "no description");
    MessageBoxA(dialog, text, kTitle, MB_OK | MB_ICONERROR);
}

}  // namespace

// Outside the namespace: the shipped-file check finds the system's callbacks by name.
static SYSTEM_CALLBACK INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        ShowChoices(dialog, *reinterpret_cast<const SaverSettings*>(lParam));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            const SaverSettings* loaded = reinterpret_cast<const SaverSettings*>(GetWindowLongPtrA(dialog, DWLP_USER));
            const uint32_t error = StoreSettings(ReadChoices(dialog, *loaded));
            if (error != 0)
                ReportStoreFailure(dialog, error);
            else
                EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

SaverSettings LoadSettings()
{
    RegistryValue values[kSettingValueCount] = {};
    if (HKEY key = OpenSettingsKey(KEY_QUERY_VALUE)) {
        for (int i = 0; i < kSettingValueCount; ++i)
            values[i] = QueryValue(key, kSettingValueNames[i]);
        RegCloseKey(key);
    }
    return SettingsFromValues(values, AnimationEffects());
}

uint32_t StoreSettings(const SaverSettings& settings)
{
    SettingValue chosen[] = {kMonitorsValue, kStartValue, kHalfRateValue, kCalmValue};
    return StoreWords(settings, chosen, settings.calmChosen ? 4 : 3);
}

uint32_t StoreTick(uint32_t tick)
{
    SaverSettings settings = {};
    settings.tick = tick;
    const SettingValue value = kTickValue;
    return StoreWords(settings, &value, 1);
}

void RunSettingsDialog(HINSTANCE instance, HWND owner)
{
    SaverSettings settings = LoadSettings();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), owner, SettingsProc,
                    reinterpret_cast<LPARAM>(&settings));
}
