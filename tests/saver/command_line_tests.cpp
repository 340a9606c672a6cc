// The saver's command line. Each line is parsed from a heap block of exactly
// its length, so that a sanitizer sees any read past the terminating zero.
#include "command_line.h"

#include <doctest/doctest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void CheckCommand(const char* line, SaverMode mode, uintptr_t window)
{
    CAPTURE(std::string(line));
    const std::vector<char> exact(line, line + std::strlen(line) + 1);
    const SaverCommand command = ParseSaverCommandLine(exact.data());
    CHECK(command.mode == mode);
    CHECK(command.window == window);
}

}  // namespace

TEST_CASE("the command line: switches in either case, / or -, the HWND after spaces or a colon")
{
    CheckCommand("/s", SaverMode::Run, 0);
    CheckCommand("/S", SaverMode::Run, 0);
    CheckCommand("-s", SaverMode::Run, 0);
    CheckCommand("  /s  ", SaverMode::Run, 0);

    CheckCommand("/p 1234", SaverMode::Preview, 1234);
    CheckCommand("/P:1234", SaverMode::Preview, 1234);
    CheckCommand("-p  \t77 trailing", SaverMode::Preview, 77);
    CheckCommand("/p: 4294967295", SaverMode::Preview, 4294967295u);

    CheckCommand("/c", SaverMode::Settings, 0);
    CheckCommand("/C:4660", SaverMode::Settings, 4660);
    CheckCommand("-c 4660", SaverMode::Settings, 4660);

    SUBCASE("a missing or malformed HWND is 0")
    {
        CheckCommand("/p", SaverMode::Preview, 0);
        CheckCommand("/p ", SaverMode::Preview, 0);
        CheckCommand("/p:", SaverMode::Preview, 0);
        CheckCommand("/p abc", SaverMode::Preview, 0);
        CheckCommand("/p 12abc", SaverMode::Preview, 0);
        CheckCommand("/p -5", SaverMode::Preview, 0);
        CheckCommand("/p 0x10", SaverMode::Preview, 0);
        CheckCommand("/p 99999999999999999999999", SaverMode::Preview, 0);  // past any handle
    }
    SUBCASE("no argument and any other argument ask for the settings")
    {
        for (const char* line : {"", "   ", "s", "/", "-", " /", "- ", "/a", "/x 12", "/save", "/pc 12", "/ s", "p 12"})
            CheckCommand(line, SaverMode::Settings, 0);
    }
}
