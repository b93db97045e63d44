#include "plot.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

#include "session.h"

extern char** environ;

namespace vyra::host {

namespace {

// A gnuplot single-quoted string: only the quote itself needs doubling.
std::string Quote(std::string_view text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'') q += '\'';
    if (c == '\n' || c == '\r') c = ' ';
    q += c;
  }
  return q + "'";
}

bool TitleIsChannel(const std::string& title, const std::string& name) {
  return !name.empty() && (title == name || title.rfind(name + " (", 0) == 0);
}

std::string Number(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.6f", v);
  return b;
}

}  // namespace

std::string GnuplotScript(const std::string& csvPath, const std::string& pngPath,
                          const std::vector<std::string>& titles, const std::vector<Comment>& comments,
                          double lastTime) {
  for (const auto& c : comments) lastTime = std::max(lastTime, c.seconds);
  const size_t panels = titles.size() > 1 ? titles.size() - 1 : 0;
  std::ostringstream s;
  s << "set terminal pngcairo noenhanced size 1200," << (160 + 170 * panels) << " font 'sans,9'\n"
    << "set output " << Quote(pngPath) << "\n"
    << "set datafile separator ','\n"
    << "set key autotitle columnhead\nset key off\nset grid\nset lmargin 14\nset rmargin 3\n"
    << "set xrange [0:" << Number(lastTime > 0 ? lastTime : 1) << "]\n"
    << "set multiplot layout " << panels << ",1 title "
    << Quote(std::filesystem::path(csvPath).filename().string()) << "\n";
  // Each label goes to its channel's panel, or the first one when that channel is not plotted.
  std::vector<size_t> labelPanel;
  for (const auto& c : comments) {
    size_t at = 1;
    for (size_t k = 1; k <= panels; ++k) {
      if (TitleIsChannel(titles[k], c.channelName)) at = k;
    }
    labelPanel.push_back(at);
  }
  for (size_t k = 1; k <= panels; ++k) {
    s << "unset arrow\nunset label\n";
      for (size_t i = 0; i < comments.size(); ++i) {
      const Comment& c = comments[i];
      s << "set arrow from first " << Number(c.seconds) << ", graph 0 to first " << Number(c.seconds)
        << ", graph 1 nohead dashtype 2 lc rgb '#c00000'\n";
      if (labelPanel[i] == k) {
        s << "set label " << Quote(c.text) << " at first " << Number(c.seconds)
          << ", graph 0.04 rotate by 90 left front offset -0.6,0 tc rgb '#c00000' font ',8'\n";
      }
    }
    s << "set ylabel " << Quote(titles[k]) << "\n";
    s << (k == panels ? "set xlabel 'time (s)'\n" : "unset xlabel\n");
    s << "plot " << Quote(csvPath) << " using 1:" << (k + 1) << " with lines lw 1.2 lc " << k << "\n";
  }
  s << "unset multiplot\n";
  return s.str();
}

int PlotCsv(const std::string& csvPath, const std::string& pngPath, std::ostream& err) {
  std::ifstream csv(csvPath);
  std::string header, firstRow;
  if (!csv || !std::getline(csv, header)) {
    err << "vyra-host: cannot read " << csvPath << "\n";
    return kExitOutput;
  }
  auto titles = SplitCsvRecord(header);
  if (titles.size() < 2 || titles[0] != "time_s" || !std::getline(csv, firstRow)) {
    err << "vyra-host: " << csvPath << " holds no samples written by 'vyra-host stream --csv'\n";
    return kExitOutput;
  }
  double lastTime = 0;
  for (std::string row = firstRow; !row.empty(); row.clear(), std::getline(csv, row)) {
    try {
      lastTime = std::max(lastTime, std::stod(row));
    } catch (const std::exception&) {
    }
  }
  std::vector<Comment> comments;
  if (std::ifstream side(csvPath + ".comments"); side) comments = ReadComments(side);

  const std::string scriptPath = pngPath + ".gp";
  {
    std::ofstream script(scriptPath, std::ios::trunc);
    script << GnuplotScript(csvPath, pngPath, titles, comments, lastTime);
    if (!script) {
      err << "vyra-host: cannot write " << scriptPath << "\n";
      return kExitOutput;
    }
  }
  std::error_code ec;
  std::filesystem::remove(pngPath, ec);
  pid_t pid = 0;
  std::string prog = "gnuplot";
  char* argv[] = {prog.data(), const_cast<char*>(scriptPath.c_str()), nullptr};
  if (posix_spawnp(&pid, "gnuplot", nullptr, nullptr, argv, environ) != 0) {
    err << "vyra-host: gnuplot cannot be run; install it (Debian: apt-get install gnuplot-nox)\n";
    return kExitOutput;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::filesystem::file_size(pngPath, ec) == 0 || ec) {
    err << "vyra-host: gnuplot failed on " << scriptPath << "\n";
    return kExitOutput;
  }
  return kExitOk;
}

}  // namespace vyra::host
