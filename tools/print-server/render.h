// A job's text made into what a runner carries: pages with a header naming the team, its
// location, the file, "page N of M" and the time, after a banner page with the team's name and
// location in large type. enscript lays the pages out and counts them; Ghostscript binds banner
// and pages into one PDF.
//
// Rendering is in two steps because the answer to the team needs only the first: the page
// count comes from the quick text rendering, and the binding runs after the job is answered.
#pragma once

#include <cstdint>
#include <string>

namespace lumarix::printserver {

struct TRenderLimits {
  int timeoutMs = 30000;                      // for each program run
  std::uint64_t maxOutputBytes = 64u << 20;  // for each file written
};

struct TRenderRequest {
  std::string textPath;  // the contestant's bytes, unconverted
  std::string team, location, fileName;
  std::string timeText;               // shown in every page's header
  std::string encoding = "latin1";    // the text's 8-bit code page, by enscript's name
  std::string outputBase;             // the files made are this path and a suffix each
  TRenderLimits limits;
};

// The pages of the text and the banner, as two PostScript files.
struct TRenderedText {
  std::string bodyPath, bannerPath;
  std::int64_t pages = 0;  // the text's pages, banner aside: what the printer will print of it
  std::string error;       // empty on success
};

// The banner and the pages in one document.
struct TPrintout {
  std::string path;
  std::int64_t pages = 0;  // banner aside, as in TRenderedText
  std::string error;
};

// Whether `encoding` names an input code page enscript knows (checked when the option is read).
bool IsKnownEncoding(const std::string& encoding);

// Renders the text and the banner; the pages are counted from the rendering.
TRenderedText RenderText(const TRenderRequest& request);

// Binds the banner and the pages into `pdfPath` and removes the two PostScript files.
TPrintout BindPrintout(const TRenderedText& rendered, const std::string& pdfPath, const TRenderLimits& limits);

// Both steps: the PDF is `request.outputBase` + ".pdf".
TPrintout RenderJob(const TRenderRequest& request);

// A name shown as its bytes, except that bytes which do not print, and the header's field
// separator, are written as "\ooo", so that no name can add a line, a page or a header field.
std::string VisibleName(const std::string& name);

}  // namespace lumarix::printserver
