#include "command_line.h"

static bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

static const char* SkipSpaces(const char* p)
{
    while (IsSpace(*p))
        ++p;
    return p;
}

// A decimal HWND ending at the end of the line or a space; 0 otherwise.
static uintptr_t ParseWindow(const char* p)
{
    uintptr_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uintptr_t digit = static_cast<uintptr_t>(*p - '0');
        if (value > (UINTPTR_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    if (p == digits || (*p != '\0' && !IsSpace(*p)))
        return 0;
    return value;
}

SaverCommand ParseSaverCommandLine(const char* commandLine)
{
    const SaverCommand settings = {SaverMode::Settings, 0};
    const char* p = SkipSpaces(commandLine);
    // "/" or "-" alone ends at p[1]: p[2] is only read after a letter.
    if ((*p != '/' && *p != '-') || p[1] == '\0')
        return settings;
    const char letter = static_cast<char>(p[1] | 0x20);
    const char after = p[2];
    if (after != '\0' && after != ':' && !IsSpace(after))
        return settings;
    SaverCommand command = settings;
    if (letter == 's')
        command.mode = SaverMode::Run;
    else if (letter == 'p')
        command.mode = SaverMode::Preview;
    else if (letter != 'c')
        return settings;
    p += 2;
    if (*p == ':')
        ++p;
    command.window = ParseWindow(SkipSpaces(p));
    return command;
}
