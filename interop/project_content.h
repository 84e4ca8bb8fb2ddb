// The content of a project file apart from any other format: the layout the import writes it
// in, the "Sequence:" value that names its images, and the content of a parsed project.
#pragma once

#include <string>

#include "io/projectfile.h"

class CTrackFileParser;
class CZelVideoSequence;

namespace zelinterop {

// The project's content in plain numbers (io/projectfile.h).
using zelio::ProjectContent;
using zelio::ProjectFrame;
using zelio::ProjectObservation;
using zelio::ProjectTrack;

// How the import lays out a project file (for zelio::FormatProjectFile and WriteProjectFile):
// every number with 17 significant digits, so it reads back exactly; a track's observations on
// its line; an empty line after each section.
zelio::ProjectFileStyle ImportedProjectStyle();

// The "Sequence:" value for imageFile in a project file at projectFile: "./" and the path
// relative to the project file's folder when the image lies in or below it, else the absolute
// path ('/' separated).
std::string SequenceValueFor(const std::string& projectFile, const std::string& imageFile);

// The content of a parsed project, the poses turned back from the parser's camera-to-world form
// into world to camera; frame image names relative to the reference image's folder.
void ProjectFromParsed(const CTrackFileParser& parser, const CZelVideoSequence& sequence,
                       ProjectContent& project);

}  // namespace zelinterop
