// The platform layer: the few services the system takes from the operating system.
//
// - The diagnostic channel: traces of the text reader. It is never standard output; by default
//   it is standard error, and tests or tools may install their own sink.
// - The console channel: the core's lines for people while it reads a project (the frame count,
//   the parser's warnings and errors). Standard output by default; a program that keeps standard
//   output for its results installs a sink of its own.
// - The wait for a key ("pause"): one replaceable function, called once per program run.
// - Directory creation, one level, result ignored by its callers.
#pragma once

// Installs the function that receives diagnostic text; nullptr restores the default sink
// (standard error). Text is passed exactly as written, with no line end added.
void SetDiagnosticSink(void (*sink)(const char* text));

// Writes text to the diagnostic channel.
void DiagnosticWrite(const char* text);

// Writes text, then the number in decimal, then "\n" to the diagnostic channel.
void DiagnosticDump(const char* text, int cause);

// Installs the function that receives the console channel's text; nullptr restores the default
// (standard output). Text is passed exactly as written.
void SetConsoleSink(void (*sink)(const char* text));

// Formats like printf and writes the text to the console channel.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
__attribute__((format(printf, 1, 2)))
#endif
void ConsolePrintf(const char* format, ...);

// Installs the function that WaitForKey calls; nullptr restores the platform default.
void SetWaitForKeyFunction(void (*wait)());

// Waits for one key press at the console. The POSIX default prints a prompt and reads one key
// (raw mode on a terminal); at the end of input it returns at once, so pipes and CI never hang.
// On Windows it runs the console command "pause".
void WaitForKey();

// Creates one directory level; returns true when it was made. Callers may ignore the result: an
// existing directory, or one that cannot be made, is not an error for them.
bool MakeDirectory(const char* path);
