#include "io/projectfile.h"

#include <cstdio>
#include <utility>

#include "io/writewhole.h"

namespace zelio {

namespace {

int Print(char* out, size_t size, const NumberFormat& format, double value) {
    return format.kind == 'f' ? std::snprintf(out, size, "%.*f", format.digits, value)
                              : std::snprintf(out, size, "%.*g", format.digits, value);
}

}  // namespace

void ProjectFileWriter::Number(double value, const NumberFormat& format) {
    char text[64];
    const int n = Print(text, sizeof(text), format, value);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(text)) {
        text_ += text;
    } else if (n > 0) {
        // A fixed-point number of a large value is longer than the buffer.
        std::string longer(static_cast<size_t>(n) + 1, '\0');
        Print(&longer[0], longer.size(), format, value);
        longer.resize(static_cast<size_t>(n));
        text_ += longer;
    }
}

void ProjectFileWriter::Begin(const std::string& sequence, int start, int step, int end) {
    text_ += "#" + style_.comment + "\n<Image Sequence>\nSequence:" + sequence;
    text_ += "\nstart:" + std::to_string(start) + "\nstep:" + std::to_string(step) +
             "\nend:" + std::to_string(end) + "\n</Image Sequence>\n";
    if (style_.blankLines) {
        text_ += "\n";
    }
}

void ProjectFileWriter::Intrinsics(double f, double fy, double cx, double cy, double skew) {
    text_ += "<intrinsic parameter>\n";
    const double values[5] = {f, fy, cx, cy, skew};
    for (int k = 0; k < 5; k++) {
        if (k > 0) {
            text_ += ' ';
        }
        Number(values[k], style_.intrinsics);
    }
    for (double extra : style_.extraIntrinsics) {
        text_ += ' ';
        Number(extra, style_.intrinsics);
    }
    text_ += "\n</intrinsic parameter>\n";
    if (style_.blankLines) {
        text_ += "\n";
    }
}

void ProjectFileWriter::BeginTracks(size_t count) {
    text_ += "<Feature Tracks>\n" + std::to_string(count) + "\n";
}

void ProjectFileWriter::EndTrackLine() {
    if (inTrack_ && style_.observationsInline) {
        text_ += '\n';
    }
    inTrack_ = false;
}

void ProjectFileWriter::TrackHead(size_t observations, int id, int status, const double point[3]) {
    EndTrackLine();
    text_ += std::to_string(observations) + " " + std::to_string(id) + " " + std::to_string(status);
    for (int k = 0; k < 3; k++) {
        text_ += ' ';
        Number(point[k], style_.points);
    }
    if (!style_.observationsInline) {
        text_ += '\n';
    }
    inTrack_ = true;
}

void ProjectFileWriter::Observation(int frame, double x, double y) {
    text_ += (style_.observationsInline ? "  " : "") + std::to_string(frame) + " ";
    Number(x, style_.observations);
    text_ += ' ';
    Number(y, style_.observations);
    if (!style_.observationsInline) {
        text_ += '\n';
    }
}

void ProjectFileWriter::BeginCameras() {
    EndTrackLine();
    text_ += "</Feature Tracks>\n";
    if (style_.blankLines) {
        text_ += "\n";
    }
    text_ += "<Camera Track>\n";
}

void ProjectFileWriter::Camera(size_t frame, double focal, const double R[3][3],
                               const double t[3]) {
    const std::string number = std::to_string(frame);
    text_ += "<FRAME" + number + ">\n";
    Number(focal, style_.poses);
    text_ += '\n';
    for (int r = 0; r < 3; r++) {
        for (int k = 0; k < 3; k++) {
            Number(R[r][k], style_.poses);
            text_ += ' ';
        }
        Number(t[r], style_.poses);
        text_ += '\n';
    }
    text_ += "</FRAME" + number + ">\n";
}

void ProjectFileWriter::End() {
    text_ += "</Camera Track>\n";
}

std::string FormatProjectFile(const ProjectContent& p, const ProjectFileStyle& style) {
    ProjectFileWriter writer(style);
    writer.Begin(p.sequence, p.start, p.step, p.end);
    writer.Intrinsics(p.f, p.fy, p.cx, p.cy, p.skew);
    writer.BeginTracks(p.tracks.size());
    for (const ProjectTrack& t : p.tracks) {
        writer.TrackHead(t.observations.size(), t.id, t.status, t.point);
        for (const ProjectObservation& o : t.observations) {
            writer.Observation(o.frame, o.x, o.y);
        }
    }
    writer.BeginCameras();
    for (size_t i = 0; i < p.frames.size(); i++) {
        writer.Camera(i, p.frames[i].focal, p.frames[i].R, p.frames[i].t);
    }
    writer.End();
    return std::move(writer.Text());
}

bool WriteProjectFile(const std::string& path, const ProjectContent& project,
                      const ProjectFileStyle& style, std::string* error) {
    const std::string text = FormatProjectFile(project, style);
    return WriteBytesWhole(path, text.data(), text.size(), error);
}

}  // namespace zelio
