// What Explorer shows for the shipped files, read from them as built and as
// Explorer reads it: the version record through the version API, and the
// icon at each of its sizes through LoadImageA.
#include "animation.h"
#include "canvas.h"
#include "file_info.h"
#include "render/reference.h"

#include <doctest/doctest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ShippedFile {
    const char* path;
    const char* description;
};
const ShippedFile kShippedFiles[] = {
    {MANDELBROT_EXE, "Mandelbrot Set"},
    {MANDELBROT_SCR, "Mandelbrot Set screen saver"},
};

std::vector<char> VersionRecord(const char* path)
{
    DWORD ignored;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    REQUIRE(size > 0);
    std::vector<char> record(size);
    REQUIRE(GetFileVersionInfoA(path, 0, size, record.data()));
    return record;
}

// The string of the record's first language, as Explorer's Details page
// looks it up; "(none)" if there is none.
std::string VersionString(const std::vector<char>& record, const char* name)
{
    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* found;
    UINT length;
    REQUIRE(VerQueryValueA(record.data(), "\\VarFileInfo\\Translation", &found, &length));
    REQUIRE(length >= sizeof(Translation));
    const Translation* translation = static_cast<const Translation*>(found);
    char path[96];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->codePage,
                  name);
    if (!VerQueryValueA(record.data(), path, &found, &length) || length == 0)
        return "(none)";
    return static_cast<const char*>(found);
}

}  // namespace

TEST_CASE("each shipped file's version record names the product, the file, the project's version and the copyright")
{
    for (const ShippedFile& file : kShippedFiles) {
        CAPTURE(file.path);
        const std::vector<char> record = VersionRecord(file.path);
        void* found;
        UINT length;
        REQUIRE(VerQueryValueA(record.data(), "\\", &found, &length));
        REQUIRE(length == sizeof(VS_FIXEDFILEINFO));
        const VS_FIXEDFILEINFO& fixed = *static_cast<const VS_FIXEDFILEINFO*>(found);
        CHECK(fixed.dwSignature == VS_FFI_SIGNATURE);
        CHECK(fixed.dwFileType == VFT_APP);
        CHECK((fixed.dwFileFlags & fixed.dwFileFlagsMask) == 0);  // no debug, pre-release or private build
        CHECK(fixed.dwFileVersionMS == fixed.dwProductVersionMS);
        CHECK(fixed.dwFileVersionLS == fixed.dwProductVersionLS);
        const WORD numbers[] = {MANDELBROT_VERSION_NUMBERS};
        CHECK(HIWORD(fixed.dwFileVersionMS) == numbers[0]);
        CHECK(LOWORD(fixed.dwFileVersionMS) == numbers[1]);
        CHECK(HIWORD(fixed.dwFileVersionLS) == numbers[2]);
        CHECK(LOWORD(fixed.dwFileVersionLS) == numbers[3]);

        // The version as text is the same major.minor.patch.
        char version[32];
        std::snprintf(version, sizeof version, "%u.%u.%u", HIWORD(fixed.dwFileVersionMS),
                      LOWORD(fixed.dwFileVersionMS), HIWORD(fixed.dwFileVersionLS));
        CHECK(VersionString(record, "FileVersion") == version);
        CHECK(VersionString(record, "ProductVersion") == version);
        CHECK(VersionString(record, "ProductName") == "Mandelbrot Set");
        CHECK(VersionString(record, "FileDescription") == file.description);
        const std::string copyright = VersionString(record, "LegalCopyright");
        CHECK(copyright == MANDELBROT_COPYRIGHT);
        CHECK(copyright.rfind("Copyright (c) 2", 0) == 0);
        CHECK(VersionString(record, "CompanyName") == MANDELBROT_AUTHORS);
        CHECK(copyright.find(MANDELBROT_AUTHORS) != std::string::npos);
    }
}

TEST_CASE("each shipped file's icon is the zoom's first frame, rendered at 16, 32 and 48 pixels")
{
    for (const ShippedFile& file : kShippedFiles) {
        CAPTURE(file.path);
        HMODULE module = LoadLibraryExA(file.path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        REQUIRE(module);
        for (int size : {16, 32, 48}) {
            CAPTURE(size);
            // A size the file lacks would come stretched from another.
            HICON icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, size, size, 0));
            REQUIRE(icon);
            const Canvas canvas(size, size, 32);
            CHECK(DrawIconEx(canvas.dc, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL));
            DestroyIcon(icon);
            std::vector<uint32_t> frame(static_cast<size_t>(size) * size);
            RenderReference(kFirstView, frame.data(), size, size);
            int differing = 0;
            for (int i = 0; i < size * size; ++i)
                differing += CanvasWord(canvas, i % size, i / size) != frame[i];
            CHECK(differing == 0);
        }
        FreeLibrary(module);
    }
}
