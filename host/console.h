// Console text conversion: the program's texts are Windows-1250 bytes, the
// console shows another code page (852 on a Polish Windows console, the
// locale's encoding on Linux).
#pragma once

#include <string>

std::u16string TextToWide(const std::string& text, unsigned codePage);
std::string ConvertCodePage(const std::string& text, unsigned sourceCodePage,
                            unsigned targetCodePage);
// The program's text from UTF-8 source text, in Windows-1250.
std::string AnsiText(const std::string& utf8);
// One of the program's texts (Windows-1250) in the console's code page. The
// source is Windows-1250 whatever the system's ANSI code page: on a Windows
// that is not Polish the two differ, and the letters would be misread.
std::string ConsoleText(const std::string& text);
// Writes one line to standard output (or error) in the console's code page.
void WriteConsoleLine(const std::string& text);
void WriteConsoleErrorLine(const std::string& text);
// A command-line argument as the console shows it: the characters the user
// typed, also those that the ANSI code page lacks.
std::string ArgumentToConsole(const std::string& argument);
// Writes one line of the program's text (`text`, ANSI) in which "%s" stands
// for a command-line argument, shown as the user typed it (a file name in
// an error message, say).
void WriteConsoleLineWith(const std::string& text, const std::string& argument);
// The same to standard error.
void WriteConsoleErrorLineWith(const std::string& text, const std::string& argument);
