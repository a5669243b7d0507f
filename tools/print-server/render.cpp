#include "render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

#include "child_command.h"

namespace lumarix::printserver {
namespace {

// Room in a header line of 9-point Courier on A4 or Letter: the left field ends before the
// centred file name begins, and the right field ("page 999 of 999, " and the time) after it ends.
constexpr std::size_t kHeaderWhoWidth = 36;
constexpr std::size_t kHeaderFileWidth = 24;
constexpr std::size_t kHeaderTimeWidth = 16;
// A banner line holds about 25 characters at 36 points; three lines each keep it on one page.
constexpr std::size_t kBannerNameWidth = 72;

const std::set<std::string>& KnownEncodings() {
  static const std::set<std::string> names = {
      "88591", "latin1", "88592", "latin2", "88593", "latin3", "88594", "latin4", "88595", "cyrillic",
      "88597", "greek", "88599", "latin5", "885910", "latin6", "ascii", "asciifise", "asciifi", "asciise",
      "asciidkno", "asciidk", "asciino", "ibmpc", "pc", "dos", "mac", "vms", "hp8", "koi8"};
  return names;
}

std::string Octal(unsigned char byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\%03o", byte);
  return text;
}

// Cut to `width` characters, marking the cut.
std::string Shortened(const std::string& text, std::size_t width) {
  if (text.size() <= width) return text;
  return text.substr(0, width - 3) + "...";
}

// The team and its location in the header's left field; the location keeps at least half.
std::string HeaderWho(const std::string& team, const std::string& location) {
  std::string who = VisibleName(team), place = VisibleName(location);
  if (place.empty()) return Shortened(who, kHeaderWhoWidth);
  who = Shortened(who, kHeaderWhoWidth - 2 - std::min(place.size(), kHeaderWhoWidth / 2));
  return who + ", " + Shortened(place, kHeaderWhoWidth - 2 - who.size());
}

// A path that no program reads as an option.
std::string AsOperand(const std::string& path) { return !path.empty() && path[0] == '-' ? "./" + path : path; }

// The environment of a renderer: nothing of the server's (enscript reads options from ENSCRIPT
// and from files under HOME) except where programs are, plus the job's header texts, which
// enscript inserts as they are, without reading them as format codes.
std::vector<std::string> RendererEnvironment(const std::vector<std::string>& headerTexts) {
  const char* path = std::getenv("PATH");
  std::vector<std::string> environment = {std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "LC_ALL=C"};
  environment.insert(environment.end(), headerTexts.begin(), headerTexts.end());
  return environment;
}

// enscript reports "[ N pages * 1 copy ] left in FILE" on its standard error: the first such
// report counts, since the file's name, after it, may read like one too.
bool PagesFromReport(const std::string& report, std::int64_t& pages) {
  for (std::size_t at = report.find("[ "); at != std::string::npos; at = report.find("[ ", at + 1)) {
    const char* digits = report.c_str() + at + 2;
    char* end = nullptr;
    long long value = std::strtoll(digits, &end, 10);
    if (end != digits && std::strncmp(end, " page", 5) == 0) {
      pages = value;
      return true;
    }
  }
  return false;
}

bool RunRenderer(const TChildCommand& command, std::string& error, std::string& report) {
  TChildResult result = RunChild(command);
  report = result.output;
  if (result.Succeeded()) return true;
  error = result.Describe(command);
  if (!result.output.empty()) error += ": " + result.output.substr(0, 400);
  return false;
}

TChildCommand RendererCommand(std::vector<std::string> arguments, const std::vector<std::string>& headerTexts,
                              const TRenderLimits& limits) {
  TChildCommand command;
  command.arguments = std::move(arguments);
  command.environment = RendererEnvironment(headerTexts);
  command.timeoutMs = limits.timeoutMs;
  command.fileSizeLimit = limits.maxOutputBytes;
  return command;
}

bool RenderBody(const TRenderRequest& request, const std::string& outputPath, std::int64_t& pages,
                std::string& error) {
  std::vector<std::string> headerTexts = {
      "PRINT_WHO=" + HeaderWho(request.team, request.location),
      "PRINT_FILE=" + Shortened(VisibleName(request.fileName), kHeaderFileWidth),
      "PRINT_TIME=" + Shortened(VisibleName(request.timeText), kHeaderTimeWidth)};
  TChildCommand command = RendererCommand(
      {"enscript", "--encoding=" + request.encoding, "--output=" + outputPath,
       "--header=$(PRINT_WHO)|$(PRINT_FILE)|page $% of $=, $(PRINT_TIME)", "--header-font=Courier-Bold9",
       "--font=Courier10", "--tabsize=8", "--word-wrap", "--mark-wrapped-lines=arrow",
       "--non-printable-format=octal", "--", AsOperand(request.textPath)},
      headerTexts, request.limits);
  std::string report;
  if (!RunRenderer(command, error, report)) return false;
  if (!PagesFromReport(report, pages)) {
    error = "enscript did not report its page count: " + report.substr(0, 400);
    return false;
  }
  return true;
}

bool RenderBanner(const TRenderRequest& request, const std::string& outputPath, std::string& error) {
  std::string bannerTextPath = outputPath + ".txt";
  {
    std::ofstream text(bannerTextPath, std::ios::binary | std::ios::trunc);
    text << "\n\n\n" << Shortened(VisibleName(request.team), kBannerNameWidth) << "\n\n"
         << Shortened(VisibleName(request.location), kBannerNameWidth) << "\n";
    if (!text.flush()) {
      error = "cannot write " + bannerTextPath;
      std::remove(bannerTextPath.c_str());
      return false;
    }
  }
  TChildCommand command = RendererCommand(
      {"enscript", "--encoding=" + request.encoding, "--output=" + outputPath, "--no-header",
       "--font=Helvetica-Bold36", "--word-wrap", "--non-printable-format=octal", "--", AsOperand(bannerTextPath)},
      {}, request.limits);
  std::string report;
  bool rendered = RunRenderer(command, error, report);
  std::remove(bannerTextPath.c_str());
  std::int64_t pages = 0;
  if (rendered && (!PagesFromReport(report, pages) || pages != 1)) {
    error = "the banner did not fit one page: " + report.substr(0, 400);
    return false;
  }
  return rendered;
}

// Ghostscript reads "%" in an output file name as a page number's format.
std::string GhostscriptOutputName(const std::string& path) {
  std::string escaped;
  for (char c : AsOperand(path)) escaped += c == '%' ? std::string("%%") : std::string(1, c);
  return escaped;
}

}  // namespace

bool IsKnownEncoding(const std::string& encoding) { return KnownEncodings().count(encoding) != 0; }

std::string VisibleName(const std::string& name) {
  std::string visible;
  for (unsigned char byte : name) {
    if (byte < 0x20 || byte == 0x7f || byte == '|') visible += Octal(byte);
    else visible += static_cast<char>(byte);
  }
  return visible;
}

TRenderedText RenderText(const TRenderRequest& request) {
  TRenderedText rendered;
  if (!IsKnownEncoding(request.encoding)) {
    rendered.error = "unknown code page " + request.encoding;
    return rendered;
  }
  std::string bodyPath = request.outputBase + ".body.ps";
  std::string bannerPath = request.outputBase + ".banner.ps";
  if (!RenderBody(request, bodyPath, rendered.pages, rendered.error) ||
      !RenderBanner(request, bannerPath, rendered.error)) {
    std::remove(bodyPath.c_str());
    std::remove(bannerPath.c_str());
    rendered.pages = 0;
    return rendered;
  }
  rendered.bodyPath = bodyPath;
  rendered.bannerPath = bannerPath;
  return rendered;
}

TPrintout BindPrintout(const TRenderedText& rendered, const std::string& pdfPath, const TRenderLimits& limits) {
  TChildCommand command = RendererCommand(
      {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
       "-sOutputFile=" + GhostscriptOutputName(pdfPath), "-f", AsOperand(rendered.bannerPath),
       AsOperand(rendered.bodyPath)},
      {}, limits);
  TPrintout printout;
  std::string report;
  if (RunRenderer(command, printout.error, report)) {
    printout.path = pdfPath;
    printout.pages = rendered.pages;
  } else {
    std::remove(pdfPath.c_str());
  }
  std::remove(rendered.bannerPath.c_str());
  std::remove(rendered.bodyPath.c_str());
  return printout;
}

TPrintout RenderJob(const TRenderRequest& request) {
  TRenderedText rendered = RenderText(request);
  if (!rendered.error.empty()) {
    TPrintout failed;
    failed.error = rendered.error;
    return failed;
  }
  return BindPrintout(rendered, request.outputBase + ".pdf", request.limits);
}

}  // namespace lumarix::printserver
