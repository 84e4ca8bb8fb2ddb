#include "interop/project_content.h"

#include <algorithm>
#include <filesystem>

#include "parser/trackfileparser.h"
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"
#include "util/filename.h"

namespace zelinterop {

zelio::ProjectFileStyle ImportedProjectStyle() {
    zelio::ProjectFileStyle style;
    style.blankLines = true;
    style.observationsInline = true;
    return style;
}

std::string SequenceValueFor(const std::string& projectFile, const std::string& imageFile) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(fs::path(projectFile)).lexically_normal().parent_path();
    const fs::path image = fs::absolute(fs::path(imageFile)).lexically_normal();
    const fs::path relative = image.lexically_relative(folder);
    if (!relative.empty() && *relative.begin() != "..") {
        return "./" + relative.generic_string();
    }
    return image.generic_string();
}

void ProjectFromParsed(const CTrackFileParser& parser, const CZelVideoSequence& sequence,
                       ProjectContent& project) {
    project = ProjectContent();
    project.sequence = sequence.imagePath;
    project.start = sequence.start;
    project.step = sequence.step;
    project.end = sequence.end;
    project.f = sequence.f;
    project.fy = sequence.fy;
    project.cx = sequence.cx;
    project.cy = sequence.cy;
    project.skew = sequence.skew;
    project.width = CZelVideoFrame::imageWidth;
    project.height = CZelVideoFrame::imageHeight;
    project.frames.resize(static_cast<size_t>(std::max(0, sequence.GetFrameCount())));
    for (int i = 0; i < sequence.GetFrameCount(); i++) {
        const CZelVideoFrame* frame = sequence.GetFrame(i);
        ProjectFrame& out = project.frames[static_cast<size_t>(i)];
        out.image = FileName(frame->imageFile);
        out.focal = static_cast<double>(frame->focalScale) * static_cast<double>(sequence.f);
        // The parser leaves (R, T) camera to world: X = R Xc + T. World to camera is (R^T, -R^T T).
        const CCamera& c = *frame->camera;
        for (int r = 0; r < 3; r++) {
            out.t[r] = 0.0;
            for (int k = 0; k < 3; k++) {
                out.R[r][k] = c.R(k, r);
                out.t[r] -= c.R(k, r) * c.T[k];
            }
        }
    }
    project.tracks.reserve(parser.tracks.size());
    for (const auto& linker : parser.tracks) {
        ProjectTrack track;
        track.id = linker->id;
        track.status = linker->status;
        for (int k = 0; k < 3; k++) {
            track.point[k] = linker->point[k];
        }
        for (const CTrackPoint& p : linker->trackPoints) {
            track.observations.push_back({p.frame, p.x, p.y});
        }
        project.tracks.push_back(std::move(track));
    }
}

}  // namespace zelinterop
