// The saver's key in the registry, as the Windows-side tests set and read it.
#pragma once
#include "settings.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <cstdint>

// Each case that reads or writes settings starts and ends without the key.
struct NoStoredSettings {
    NoStoredSettings() { Clear(); }
    ~NoStoredSettings() { Clear(); }
    NoStoredSettings(const NoStoredSettings&) = delete;
    NoStoredSettings& operator=(const NoStoredSettings&) = delete;
    static void Clear()
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Mandelbrot Set");
    }
};

// Stores the value as given: any type, any size.
inline void StoreRaw(SettingValue value, DWORD type, const void* bytes, DWORD size)
{
    HKEY key;
    REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS);
    RegSetValueExA(key, kSettingValueNames[value], 0, type, static_cast<const BYTE*>(bytes), size);
    RegCloseKey(key);
}

inline void StoreWord(SettingValue value, DWORD word)
{
    StoreRaw(value, REG_DWORD, &word, sizeof word);
}

// The value as stored, or -1 without one.
inline int64_t Stored(SettingValue value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return -1;
    DWORD type = 0, word = 0, size = sizeof word;
    const LONG status = RegQueryValueExA(key, kSettingValueNames[value], nullptr, &type,
                                         reinterpret_cast<BYTE*>(&word), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == 4 ? int64_t(word) : -1;
}
