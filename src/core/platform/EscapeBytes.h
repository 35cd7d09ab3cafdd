#pragma once
// Messages from CFITSIO may quote bytes of a broken file. Before such text is
// shown (message box, terminal) those bytes are written as \xNN, so that
// nothing unprintable or half a character reaches the screen.

#include <string>

// Control characters other than tab, CR and LF, DEL, and every byte that is
// not part of a well-formed UTF-8 character become "\xNN" (two upper-case hex
// digits); all other text, also non-ASCII characters in file names, stays.
std::string EscapeRawBytes(const std::string& text);
