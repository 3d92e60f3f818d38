#pragma once

// The project's web site, scheme and host without a trailing slash: the latest firmware, the
// init-failure dialog's link and the crawl's theme tune all come from it. A placeholder to be
// set before a release.
inline constexpr char kKernoWebSite[] = "https://www.kerno-audio.example";
