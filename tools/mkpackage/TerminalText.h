// Text bound for a terminal.  Names and texts come from files, packages and
// command lines mkpackage does not control: written raw, a control character
// could clear the screen, retitle the window or move the cursor, and a line
// break inside a file name could forge a line of output ("x.exe: OK").  So
// every control character is shown escaped: C0 and DEL as \xNN (\n, \r, \t
// by name), C1, the line and paragraph separators and lone surrogates as
// \uNNNN, and bytes that are no UTF-8 as \xNN.
#pragma once
#include <ostream>
#include <string>

// UTF-16 text; with doubleBackslashes, "\" becomes "\\" so that an escape
// cannot be mistaken for text (for message texts; file names keep their
// backslashes, which are separators on Windows).
std::string Printable(const std::u16string& text, bool doubleBackslashes = true);
// UTF-8 text, or bytes that are not even that (a file name on Linux);
// backslashes stay as they are.
std::string PrintableUtf8(const std::string& text);
// Writes one line of output: the text made printable, then a line break.
void PrintLine(std::ostream& out, const std::string& line);
