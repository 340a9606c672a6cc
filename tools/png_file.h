// The --png picture: its file is made ready before any frame is rendered and
// takes its name only when complete, so that no way out of the run leaves a
// half-written picture or a stray temporary file.
#pragma once
#include <cstdint>
#include <string>

// Checks the name and opens the file the picture will be written to, beside
// the file it replaces, choosing how it will take the name: everything the
// end of the run needs is settled here, before any frame is rendered. A
// symbolic link is followed: the file it points to gets the picture and the
// link stays. Refused and left as they are: a name that is not a regular file
// (a directory, device, FIFO, socket), a file the user may not write or, in a
// sticky folder, may not replace, and the file standard output writes to.
// False with the reason on failure.
bool PreparePng(const char* path, std::string* problem);

// Writes the frame as the screen shows it (bits 16-23 red, 8-15 green, 0-7
// blue: the pixel word in color.h) and puts the complete file in place under
// its name, with the permission bits of the file it replaces, and its owner
// and group where the process may give them. False with the reason on
// failure; the earlier file stays.
bool SavePng(const uint32_t* pixels, int32_t width, int32_t height, std::string* problem);

// Removes what an unfinished picture left; for the run's ways out.
void DiscardPng();
