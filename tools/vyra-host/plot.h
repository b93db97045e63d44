#pragma once
// Plots a CSV written by the stream command, with its comments, through gnuplot.
#include <iosfwd>
#include <string>
#include <vector>

#include "stream_data.h"

namespace vyra::host {

// The gnuplot script for a CSV with the given column titles (time first) and comments: one
// panel per channel, each comment a dashed vertical line, its text beside it in the panel of
// the channel it was placed on (the first panel when that channel is not plotted). Every
// panel spans 0 to the last time of the CSV or comment.
std::string GnuplotScript(const std::string& csvPath, const std::string& pngPath,
                          const std::vector<std::string>& titles, const std::vector<Comment>& comments,
                          double lastTime);

// Reads the CSV header and the comments side file, writes the script beside the PNG and runs
// gnuplot. Returns an exit code of session.h.
int PlotCsv(const std::string& csvPath, const std::string& pngPath, std::ostream& err);

}  // namespace vyra::host
