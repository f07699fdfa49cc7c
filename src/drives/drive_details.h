// The one-line description of the disk identified last, and volume labels,
// for the drive list's entries and the Quick Size Test's log.
#pragma once

#include <string>

#include "app/context.h"

namespace veracap {

// "DRIVE " N " -" size unit " " model: the size with one cut decimal and
// thousands separators, right-aligned in 7 characters (a longer size stays
// whole), in KiB, MiB or GiB (the next unit once above 1000); the model
// left-aligned in 31 characters (cut when longer). In debug mode followed by
// " ", the byte count with separators and " Bytes ". "" when DriveSizeBytes
// is 0. Reads SelectedDiskNumber, DriveSizeBytes, DriveModel, DebugMode.
std::string Print_Drive_Details(Context& ctx);

// The label of the volume at root ("E:"): the text before the first NUL,
// "(no label)" when that is empty or blank. When the query fails (no such
// volume, no medium, an empty root) the label is 14 blanks.
void GetVolumeLabel(Context& ctx, const std::string& root, std::string& label);

}  // namespace veracap
