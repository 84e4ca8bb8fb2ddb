#include "tools/frontend.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "parser/trackfileparser.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "tools/toolsupport.h"

namespace zeltool {

UsageStyle ErrorStyle(const std::string& suffix) {
    UsageStyle style;
    style.prefix = "ERROR: ";
    style.suffix = suffix;
    style.missingValue = "Option %o needs a value";
    style.unknownOption = "Unknown option %o";
    return style;
}

CommandLine::CommandLine(UsageStyle s, std::function<void()> help)
    : style(std::move(s)), printHelp(std::move(help)) {}

CommandLine& CommandLine::Add(const char* name, const char* meta, Kind kind,
                              std::function<bool(const char*)> take, const char* help) {
    options.push_back(Option{name, meta, help, kind, std::move(take), std::string()});
    return *this;
}

CommandLine& CommandLine::Flag(const char* name, bool* target, const char* help) {
    return Add(
        name, "", Kind::kFlag,
        [target](const char*) {
            *target = true;
            return true;
        },
        help);
}

CommandLine& CommandLine::Int(const char* name, const char* meta, int lo, int hi, int* target,
                              const char* help) {
    return Add(
        name, meta, Kind::kValue, [=](const char* v) { return ParseBounded(v, lo, hi, *target); },
        help);
}

CommandLine& CommandLine::Number(const char* name, const char* meta, double lo, double hi,
                                 double* target, const char* help, bool loOpen, bool hiOpen) {
    return Add(
        name, meta, Kind::kValue,
        [=](const char* v) { return ParseNumber(v, lo, hi, loOpen, hiOpen, *target); }, help);
}

CommandLine& CommandLine::Text(const char* name, const char* meta, std::string* target,
                               const char* help) {
    return Add(
        name, meta, Kind::kValue,
        [target](const char* v) {
            *target = v;
            return *v != '\0';
        },
        help);
}

CommandLine& CommandLine::Frames(const char* name, const char* meta, int lo, int hi, int* first,
                                 int* last, bool* given, const char* help) {
    return Add(
        name, meta, Kind::kValue,
        [=](const char* v) {
            if (given != nullptr) {
                *given = true;
            }
            return ParseFrameRange(v, lo, hi, *first, *last);
        },
        help);
}

CommandLine& CommandLine::Custom(const char* name, const char* meta,
                                 std::function<bool(const char*)> take, const char* help) {
    return Add(name, meta, Kind::kValue, std::move(take), help);
}

CommandLine& CommandLine::BadValue(const char* pattern) {
    if (!options.empty()) {
        options.back().badValue = pattern;
    }
    return *this;
}

std::string CommandLine::Fill(const std::string& pattern, const std::string& option,
                              const std::string& value) const {
    std::string out;
    for (size_t k = 0; k < pattern.size(); k++) {
        if (pattern[k] == '%' && k + 1 < pattern.size() &&
            (pattern[k + 1] == 'o' || pattern[k + 1] == 'v')) {
            out += pattern[k + 1] == 'o' ? option : value;
            k++;
        } else {
            out += pattern[k];
        }
    }
    return out;
}

int CommandLine::Usage(const std::string& message) const {
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s%s\n", style.prefix.c_str(), message.c_str(), style.suffix.c_str());
    return 2;
}

int CommandLine::Parse(int argc, const char* const argv[], std::vector<std::string>& positional,
                       std::vector<std::string>* rest) const {
    for (int a = 1; a < argc; a++) {
        const std::string arg = argv[a];
        if (arg == "--help" || arg == "-h") {
            printHelp();
            return 0;
        }
        if (arg == "--" && rest != nullptr) {
            rest->assign(argv + a + 1, argv + argc);
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* option = nullptr;
        for (const Option& o : options) {
            if (o.name == name) {
                option = &o;
            }
        }
        if (option == nullptr || (option->kind == Kind::kFlag && equals != std::string::npos)) {
            return Usage(Fill(style.unknownOption, arg, ""));
        }
        if (option->kind == Kind::kFlag) {
            option->take("");
            continue;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (a + 1 < argc) {
            value = argv[++a];
        } else {
            return Usage(Fill(style.missingValue, name, ""));
        }
        if (!option->take(value.c_str())) {
            return Usage(
                Fill(option->badValue.empty() ? style.badValue : option->badValue, name, value));
        }
    }
    return -1;
}

int CommandLine::ParseProject(int argc, const char* const argv[], std::string& project,
                              std::vector<std::string>& rest) const {
    const int status = Parse(argc, argv, rest);
    if (status >= 0) {
        return status;
    }
    if (rest.empty()) {
        return Usage("No project file given");
    }
    project = rest.front();
    rest.erase(rest.begin());
    return -1;
}

std::string CommandLine::HelpTable() const {
    const size_t column = 22;
    std::string out;
    for (const Option& o : options) {
        if (o.help.empty()) {
            continue;
        }
        std::string left = "  " + o.name + (o.meta.empty() ? "" : " " + o.meta);
        left += left.size() < column ? std::string(column - left.size(), ' ') + " " : "  ";
        std::string line = left;
        for (char c : o.help) {
            line += c;
            if (c == '\n') {
                line += std::string(column + 1, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

bool ParseNumber(const char* text, double lo, double hi, bool loOpen, bool hiOpen, double& out) {
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi ||
        (loOpen && v == lo) || (hiOpen && v == hi)) {
        return false;
    }
    out = v;
    return true;
}

bool ParseFrameRange(const char* text, int lo, int hi, int& first, int& last) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    const std::string head(text, static_cast<size_t>(colon - text));
    return ParseBounded(head.c_str(), lo, hi, first) && ParseBounded(colon + 1, lo, hi, last) &&
           first <= last;
}

Project::Project() : parser(new CTrackFileParser(&sequence)) {}
Project::~Project() = default;

namespace {

void Silent(const char*) {}

void ToStderr(const char* text) {
    std::fputs(text, stderr);
}

}  // namespace

LoadResult ReadProject(const char* path, Project& project, ParserLines lines, std::string* reason) {
    // The text reader's traces are of no use to a program; the parser's reason says what went
    // wrong.
    SetDiagnosticSink(Silent);
    SetConsoleSink(lines == ParserLines::kStderr ? ToStderr : nullptr);
    const bool parsed = project.parser->Parse(path);
    SetConsoleSink(nullptr);
    SetDiagnosticSink(nullptr);
    if (!parsed) {
        if (reason != nullptr) {
            *reason = project.parser->DescribeError();
        }
        return LoadResult::kUnreadable;
    }
    if (project.sequence.GetFrameCount() <= 0 || CZelVideoFrame::GetWorkingWidth() <= 0 ||
        CZelVideoFrame::GetWorkingHeight() <= 0) {
        return LoadResult::kEmpty;
    }
    return LoadResult::kLoaded;
}

bool LoadProject(const char* path, Project& project, FILE* messages, ParserLines lines) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        std::fprintf(messages, "ERROR: Can not find the project file: %s\n", path);
        return false;
    }
    std::string reason;
    switch (ReadProject(path, project, lines, &reason)) {
        case LoadResult::kLoaded:
            return true;
        case LoadResult::kUnreadable:
            std::fprintf(messages, "ERROR: Can not read the project file: %s (%s)\n", path,
                         reason.c_str());
            return false;
        case LoadResult::kEmpty:
            break;
    }
    std::fprintf(messages,
                 "ERROR: The project has no frames or no image size (%d frames, %d x %d)\n",
                 project.sequence.GetFrameCount(), CZelVideoFrame::GetWorkingWidth(),
                 CZelVideoFrame::GetWorkingHeight());
    return false;
}

}  // namespace zeltool
