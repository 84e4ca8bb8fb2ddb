// The programs' front end: a declared table of options read off the command line with bounded
// parsing, usage errors as one line on standard error with exit status 2, --help on standard
// output with exit status 0, and the one way the programs load a project.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sequence/videosequence.h"

class CTrackFileParser;

namespace zeltool {

// How a program words its usage errors: each is one line, prefix + message + suffix, on
// standard error. The messages for a missing value, a bad value and an unknown option are
// patterns in which "%o" stands for the option and "%v" for the value.
struct UsageStyle {
    std::string prefix;  // e.g. "zel_recover: " or "ERROR: "
    std::string suffix;  // e.g. " (zel_fuse --help explains the options)"
    std::string missingValue = "option %o needs a value";
    std::string badValue = "invalid value for %o: '%v'";
    std::string unknownOption = "unknown option %o";
};

// The style "ERROR: Unknown option --x<suffix>": prefix "ERROR: ", "Option --x needs a value",
// "Unknown option --x".
UsageStyle ErrorStyle(const std::string& suffix);

// The options of one program. Each is declared with its name ("--levels"), what it takes, its
// bounds and its help line; Parse then reads the command line into the targets. "--name value"
// and "--name=value" are both taken; "--help" and "-h" print the help.
class CommandLine {
  public:
    CommandLine(UsageStyle style, std::function<void()> printHelp);

    // An option without a value: sets *target.
    CommandLine& Flag(const char* name, bool* target, const char* help = "");
    // A whole decimal number within [lo, hi] (a sign allowed, nothing after it).
    CommandLine& Int(const char* name, const char* meta, int lo, int hi, int* target,
                     const char* help = "");
    // A finite decimal number within lo .. hi; each end is closed unless told open.
    CommandLine& Number(const char* name, const char* meta, double lo, double hi, double* target,
                        const char* help = "", bool loOpen = false, bool hiOpen = false);
    // Any text that is not empty.
    CommandLine& Text(const char* name, const char* meta, std::string* target,
                      const char* help = "");
    // "FIRST:LAST", lo <= FIRST <= LAST <= hi; *given becomes true.
    CommandLine& Frames(const char* name, const char* meta, int lo, int hi, int* first, int* last,
                        bool* given, const char* help = "");
    // A value the program reads itself: take returns false for a bad one.
    CommandLine& Custom(const char* name, const char* meta, std::function<bool(const char*)> take,
                        const char* help = "");
    // The bad-value message of the option declared last, instead of the style's.
    CommandLine& BadValue(const char* pattern);

    // Reads argv[1..argc-1]: options into their targets, the other arguments (a lone "-"
    // included) into positional. With rest given, an argument "--" ends the command line and
    // what follows it goes to *rest. Returns -1 to go on, 0 after printing the help, 2 after a
    // usage error.
    int Parse(int argc, const char* const argv[], std::vector<std::string>& positional,
              std::vector<std::string>* rest = nullptr) const;

    // Parse for a program whose first other argument is the project file: it goes to project,
    // the other arguments after it to rest. Returns as Parse does, or 2 after the usage error "No
    // project file given".
    int ParseProject(int argc, const char* const argv[], std::string& project,
                     std::vector<std::string>& rest) const;

    // Prints prefix + message + suffix as one line on standard error; returns 2.
    int Usage(const std::string& message) const;

    // The options' help as a table: "  <name> <meta>" padded to 22 columns, then the help text;
    // a help text's further lines are indented to the same column. Options without help text
    // are left out.
    std::string HelpTable() const;

  private:
    enum class Kind { kFlag, kValue };
    struct Option {
        std::string name;
        std::string meta;
        std::string help;
        Kind kind;
        std::function<bool(const char*)> take;
        std::string badValue;  // empty: the style's
    };
    CommandLine& Add(const char* name, const char* meta, Kind kind,
                     std::function<bool(const char*)> take, const char* help);
    std::string Fill(const std::string& pattern, const std::string& option,
                     const std::string& value) const;

    UsageStyle style;
    std::function<void()> printHelp;
    std::vector<Option> options;
};

// Bounded parsing of one value: the whole text, no leading blank, within the bounds.
bool ParseNumber(const char* text, double lo, double hi, bool loOpen, bool hiOpen, double& out);
// "FIRST:LAST" with lo <= FIRST <= LAST <= hi.
bool ParseFrameRange(const char* text, int lo, int hi, int& first, int& last);

// A parsed project: the sequence and the parser that filled it (which points into it, and holds
// the feature tracks for those that need them).
struct Project {
    Project();
    ~Project();
    Project(const Project&) = delete;
    Project& operator=(const Project&) = delete;

    CZelVideoSequence sequence;
    std::unique_ptr<CTrackFileParser> parser;
};

// Why a project could not be loaded.
enum class LoadResult {
    kLoaded,
    kUnreadable,  // it does not parse as a project (a missing file included); reason says why
    kEmpty,       // it parsed but has no frames or no image size
};

// Where the parser's own lines ("Total frame count:...", its warnings and errors) go while a
// program reads the project.
enum class ParserLines {
    kStdout,  // standard output, as the library prints them
    kStderr,  // standard error, so that standard output carries only the program's results (the
              // core's console channel, platform/platform.h, goes there while it reads)
};

// Parses the project file at path into project, with the text reader's traces silenced (the
// parser's own lines go where lines says).
LoadResult ReadProject(const char* path, Project& project, ParserLines lines, std::string* reason);

// The usual reading: checks that the file exists, then ReadProject; on failure one "ERROR: ..."
// line on messages (the file does not exist, it cannot be read as a project, or it has no frames
// or no image size).
bool LoadProject(const char* path, Project& project, FILE* messages, ParserLines lines);

}  // namespace zeltool
